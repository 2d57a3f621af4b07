// The kernel's mount table (mountinfo), shared by the watcher, the reader link and eject.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tolverdine {

struct MountEntry {
  std::string mountPoint;
  std::string source;  // /dev/sdb1, or a pseudo source such as tmpfs
  std::string fstype;
};

/// Lines of mountinfo in order; octal escapes (\040 for a space) decoded; bad lines skipped.
std::vector<MountEntry> parseMountinfo(const std::string& text);

/// The table read from path; empty when unreadable.
std::vector<MountEntry> readMountTable(const std::string& path);

/// The last entry mounted exactly at mountPoint (it hides earlier ones there).
std::optional<MountEntry> mountAt(const std::vector<MountEntry>& table,
                                  const std::string& mountPoint);

/// Kernel block device name of a mount source under sysfsRoot ("/dev/sdb1" -> "sdb1",
/// a /dev/mapper link -> "dm-0"); absent when the source is not a block device there.
std::optional<std::string> blockName(const std::string& source, const std::string& sysfsRoot);

}  // namespace tolverdine
