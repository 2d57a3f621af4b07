// Which programs keep files open under a mount point, so a failed eject can name them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolverdine {

/// Process names from `lsof -Fc` output: unique, sorted, without `ownName`.
std::vector<std::string> parseLsofHolders(std::string_view out, std::string_view ownName);

class VolumeHolders {
 public:
  virtual ~VolumeHolders() = default;
  virtual std::vector<std::string> holders(const std::string& mountPoint) = 0;
};

/// Names (from procRoot/PID/comm) of the processes whose working folder or an open file
/// (procRoot/PID/cwd, procRoot/PID/fd/*) lies under mountPoint, without this process and
/// `ownName`; unique and sorted.
std::vector<std::string> procHolders(const std::string& mountPoint,
                                     const std::string& procRoot = "/proc",
                                     std::string_view ownName = "Tolverdine");

/// Runs lsof where it is installed, otherwise scans /proc; empty when nothing holds the volume.
class LsofVolumeHolders : public VolumeHolders {
 public:
  explicit LsofVolumeHolders(std::vector<std::string> lsofPaths = {"/usr/bin/lsof",
                                                                   "/usr/sbin/lsof"},
                             std::string procRoot = "/proc")
      : lsof_(std::move(lsofPaths)), proc_(std::move(procRoot)) {}
  std::vector<std::string> holders(const std::string& mountPoint) override;

 private:
  std::vector<std::string> lsof_;
  std::string proc_;
};

class FakeVolumeHolders : public VolumeHolders {
 public:
  std::vector<std::string> names;
  std::vector<std::string> holders(const std::string&) override { return names; }
};

}  // namespace tolverdine
