// Reading the kernel's block-device folders under /sys: below the drive identities and the
// desktop's volume facts alike.
#pragma once

#include <optional>
#include <string>

namespace tolverdine {

/// A sysfs attribute with surrounding white space removed; absent when missing or empty.
std::optional<std::string> sysfsAttr(const std::string& dir, const std::string& name);

/// The folder of the whole disk that holds the block device whose folder is dir: its parent for a
/// partition, which sits inside its disk's folder; dir itself for a whole disk.
std::string wholeDiskDir(const std::string& dir);

}  // namespace tolverdine
