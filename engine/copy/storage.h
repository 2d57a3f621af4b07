// How a card is kept on a destination: copied straight into the classified layout, or mirrored
// as the camera wrote it with the classified layout added as clones.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "os/fs.h"

namespace tolverdine {

enum class StorageMode { split, mirror, automatic };

/// "split", "mirror", "auto".
const char* storageText(StorageMode m);
/// Exact text only; anything else names no mode.
std::optional<StorageMode> storageFromText(const std::string& s);
/// "분류만", "원본 + 분류 뷰", "자동 (APFS 면 원본 + 분류 뷰)".
const char* storageLabel(StorageMode m);

/// split or mirror, never automatic: automatic mirrors only when every root can clone
/// (an empty list mirrors).
StorageMode resolveStorage(StorageMode mode, const std::vector<std::string>& dests);

/// Whether the volume holding path (judged by its nearest existing ancestor) makes clones:
/// btrfs and bcachefs always, XFS when a probe clone succeeds (once per device and process).
bool canClone(const std::string& path, Fs& fs = realFs());

}  // namespace tolverdine
