// Reading our own ASC MHL files back: generations and the chain, for verification.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolverdine {

struct MHLEntry {
  std::string path;  // relative to the project folder
  std::string xxh64;
  std::string action;  // "original", "verified" or "failed"
  std::optional<std::string> previousPath;
};

struct MHLGeneration {
  std::string process;  // "transfer" or "in-place"
  std::vector<MHLEntry> entries;
};

struct MHLChainEntry {
  int sequence = 0;
  std::string path;  // file name inside the ascmhl folder
  std::string c4;
};

/// Absent when the text is not a well-formed hash list (a truncated file, say).
std::optional<MHLGeneration> parseMHLGeneration(std::string_view xml);
/// Absent when the text is not a well-formed chain file.
std::optional<std::vector<MHLChainEntry>> parseMHLChain(std::string_view xml);

}  // namespace tolverdine
