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

/// Runs lsof; empty when lsof is missing, fails to start or prints nothing.
class LsofVolumeHolders : public VolumeHolders {
 public:
  std::vector<std::string> holders(const std::string& mountPoint) override;
};

class FakeVolumeHolders : public VolumeHolders {
 public:
  std::vector<std::string> names;
  std::vector<std::string> holders(const std::string&) override { return names; }
};

}  // namespace tolverdine
