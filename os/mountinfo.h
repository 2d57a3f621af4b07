// The kernel's mount table as /proc/self/mountinfo writes it, and the UUID a device's superblock
// carries: read by the drive identities below the engine and by the desktop services above it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace tolverdine {

struct MountLine {
  dev_t dev = 0;           // major:minor, as st_dev of the files there
  std::string mountPoint;  // \ooo escapes decoded
  std::string source;      // /dev/sdb1, or a pseudo source such as tmpfs
  std::string fstype;
};

/// Lines of mountinfo text in order; lines without the "-" separator are skipped.
std::vector<MountLine> parseMountLines(const std::string& text);

/// The UUID in the superblock of a block device (a fresh libblkid probe, never its cache: a
/// reformatted card must show its new UUID); absent when it cannot be read or has none.
std::optional<std::string> probeUuid(const std::string& device);

}  // namespace tolverdine
