// ASC MHL v2.0 hash lists: one generation file per ingest run (or per reclassification) in the
// project folder's "ascmhl" folder, and the chain file naming every generation with its C4 id.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/records.h"
#include "os/fs.h"

namespace tolverdine {

struct NameSet;

/// One moved file: paths relative to the project folder, the XXH64 recorded before the move.
struct MHLRename {
  std::string oldPath, newPath;
  int64_t size = 0;
  std::string hash;
};

inline constexpr const char* kMHLFolder = "ascmhl";
inline constexpr const char* kMHLChain = "ascmhl_chain.xml";

/// Writes a transfer generation listing items (sorted by dest) and rewrites the chain. Items
/// whose dest XML cannot carry are left out. Absent when no item is left. Throws WriteFail.
std::optional<std::string> writeMHLGeneration(const std::string& root,
                                              const std::vector<Verified>& items,
                                              const NameSet& names,
                                              const std::optional<std::string>& author,
                                              std::time_t now = std::time(nullptr),
                                              Fs& fs = realFs());

/// Writes an in-place generation recording moves, re-hashing each file at its new path.
/// Moves whose paths XML cannot carry are left out. Absent when none is left. Throws WriteFail.
std::optional<std::string> writeMHLRenames(const std::string& root,
                                           const std::vector<MHLRename>& renames,
                                           const NameSet& names,
                                           std::time_t now = std::time(nullptr), Fs& fs = realFs());

/// Whether XML 1.0 can carry s as it is: well-formed UTF-8 without C0 controls other than tab,
/// line feed and carriage return, and without U+FFFE or U+FFFF.
bool xmlCarriable(const std::string& s);
/// "&" first, then "<", ">" and the double quote; apostrophes stay.
std::string xmlEscape(const std::string& s);
/// 2026-03-05T09:38:22+00:00 (UTC).
std::string mhlDate(std::time_t t);
/// The sequence number in a generation file name: its first four characters as digits.
std::optional<int> mhlSequence(const std::string& fileName);

}  // namespace tolverdine
