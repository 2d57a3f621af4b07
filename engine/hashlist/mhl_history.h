// Everything the generations of one ascmhl folder say about the files beside it, read in
// sequence order: what each path is expected to hold, and which names are ignored.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/hashlist/digest.h"
#include "engine/hashlist/mhl_read.h"

namespace tolverdine {

struct MHLHistory {
  std::vector<std::string> generations;  // ".mhl" names in sequence order
  std::vector<std::string> unreadable;   // those that could not be read or are not hash lists
  /// NFC path -> the hash lists of each entry naming it, oldest first. A move carries the
  /// history of its previous path along, and that path is no longer listed.
  std::map<std::string, std::vector<std::vector<MHLHash>>> files;
  std::vector<std::string> ignore;  // every generation's ignore patterns, each once
};

/// Reads root/ascmhl. A folder without generations gives an empty history.
MHLHistory readMHLHistory(const std::string& root, Fs& fs = realFs());

struct ExpectedHash {
  HashType type;
  std::string value;
};

/// The value to check a file against: in the newest entry that has a hash not marked
/// "failed" of a type we can compute, the strongest such type. Absent when there is none.
std::optional<ExpectedHash> expectedHash(const std::vector<std::vector<MHLHash>>& entries);

/// Whether rel (relative to the root, "/" separators) falls under an ignore pattern: a pattern
/// without "/" matches any single name along the path, one with a trailing "/" only folders,
/// one with an inner "/" the path from the root; shell wildcards apply.
bool mhlIgnored(const std::string& rel, bool isDir, const std::vector<std::string>& patterns);

}  // namespace tolverdine
