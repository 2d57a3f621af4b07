// Reading ASC MHL files back: generations (ours or another tool's) and the chain, for
// verification and for knowing which files a folder's hash lists already name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolverdine {

/// One hash value of a file as a generation records it: the element name ("xxh64", "md5", ...),
/// its text, and its action ("original", "verified", "failed"; empty when not given).
struct MHLHash {
  std::string type;
  std::string value;
  std::string action;
};

struct MHLEntry {
  std::string path;             // relative to the folder holding the ascmhl folder
  std::vector<MHLHash> hashes;  // in document order; may name types we do not know
  std::optional<std::string> previousPath;
};

struct MHLGeneration {
  std::string process;              // "transfer", "in-place", ...
  std::vector<std::string> ignore;  // the ignore patterns of processinfo
  std::vector<MHLEntry> entries;
};

struct MHLChainEntry {
  int sequence = 0;
  std::string path;  // file name inside the ascmhl folder
  std::string c4;
};

/// Absent when the text is not a well-formed hash list (a truncated file, say) or a hash entry
/// has no path.
std::optional<MHLGeneration> parseMHLGeneration(std::string_view xml);
/// Absent when the text is not a well-formed chain file.
std::optional<std::vector<MHLChainEntry>> parseMHLChain(std::string_view xml);

}  // namespace tolverdine
