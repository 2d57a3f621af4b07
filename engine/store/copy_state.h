// Where a copy of a card file stands on one destination, as the copy table records it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolverdine {

/// verified: read back and equal to the card; copied: written, not read back (fast mode);
/// failed: not there, or read back different.
enum class CopyState { copied, verified, failed };

/// The text stored in the copy table's `state` column; earlier databases hold the same texts.
constexpr const char* copyStateText(CopyState s) {
  switch (s) {
    case CopyState::copied: return "copied";
    case CopyState::verified: return "verified";
    case CopyState::failed: return "failed";
  }
  return "failed";
}

/// Where a copy is physically: the identity of its drive (see os/drives.h) and its
/// file's inode there. Two destinations on one drive hold one copy between them.
struct DriveFile {
  std::string drive;
  int64_t ino = 0;
  bool operator==(const DriveFile&) const = default;
};

/// Absent for a text no build wrote.
inline std::optional<CopyState> copyStateFrom(std::string_view text) {
  for (CopyState s : {CopyState::copied, CopyState::verified, CopyState::failed})
    if (text == copyStateText(s)) return s;
  return std::nullopt;
}

}  // namespace tolverdine
