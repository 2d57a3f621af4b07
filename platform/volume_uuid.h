// The UUID of the file system that holds a path: tells a card from a second card with the same
// files, and changes when a card is reformatted.
#pragma once

#include <optional>
#include <string>

namespace tolverdine {

/// UUID text of the file system holding path (libblkid on the mount's source device); absent
/// when the path cannot be resolved, the source is not a device, or the file system has none.
std::optional<std::string> volumeUUID(const std::string& path);

/// Source device of the mount in mountinfo (text of /proc/self/mountinfo) whose mount point is
/// the longest prefix of realPath; a later line wins over an earlier one on the same point, as
/// the later mount hides the earlier. Absent when no mount point matches.
std::optional<std::string> mountSource(const std::string& realPath, const std::string& mountinfo);

}  // namespace tolverdine
