// The generation written after a run: what this run verified, plus every file verified on the
// destination before that no generation of the folder lists yet (a run cut short by a kill, a
// lost drive or a crash while the lists were written), so that the folder's lists name every
// verified file.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "os/fs.h"

#include "engine/base/records.h"

namespace tolverdine {

struct NameSet;
class Store;

struct MHLListing {
  std::optional<std::string> file;    // the generation written; absent when nothing was to list
  std::vector<std::string> leftOut;   // dest paths XML cannot carry: never in any list, in order
  std::vector<std::string> setAside;  // generations found cut short, under their new names
};

/// Writes root's generation: every item, and every entry of known whose dest no generation of
/// root lists yet (nor an item). First, even when nothing is to list, the folder's chain is
/// repaired (repairChain). Throws WriteFail.
MHLListing writeListedGeneration(const std::string& root, const std::vector<Verified>& items,
                                 const std::vector<Verified>& known, const NameSet& names,
                                 const std::optional<std::string>& author,
                                 std::time_t now = std::time(nullptr), Fs& fs = realFs());

/// The rows of a card verified on root as the database records them (its path there, XXH64 and
/// MD5), for writeListedGeneration.
std::vector<Verified> verifiedOnRoot(Store& store, const std::string& cam,
                                     const std::vector<Row>& rows, const std::string& root);

/// Every entry verified on root, with the modification time of its file there (the copy was
/// given the card's time), for writeListedGeneration.
std::vector<Verified> verifiedEntriesOf(Store& store, const std::string& root, Fs& fs = realFs());

/// Heading of the names left out of the hash lists, in the printed report.
inline constexpr const char* kUnlistedHeading =
    "해시 목록에 넣지 못한 파일 (XML에 쓸 수 없는 이름)";

/// One line for the run's output and log naming the files left out (printable, at most five).
std::string unlistedLine(const std::vector<std::string>& names);

/// The dest paths of rows that no hash list can name, each once, in row order.
std::vector<std::string> unlistableNames(const std::vector<Row>& rows);

}  // namespace tolverdine
