// The later second copy of a verified project folder onto another destination, checked against
// the hashes recorded when the card was first copied, never against the primary as it is now.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/records.h"
#include "os/fs.h"

namespace tolverdine {

class Store;
struct NameSet;

struct MirrorFailure {
  std::string rel;
  std::string why;
  bool operator==(const MirrorFailure&) const = default;
};

struct MirrorResult {
  int copied = 0;
  int skipped = 0;
  std::vector<MirrorFailure> failed;
  bool lost = false;
  std::vector<Verified> verified;
  // Set by mirrorAndList: the secondary's new generation, or why it could not be written, and
  // the names no hash list can carry.
  std::optional<std::string> hashList;
  std::optional<WriteFail> hashListFail;
  std::vector<std::string> unlisted;
};

using FreeBytes = std::function<int64_t(const std::string& root)>;
using MirrorProgress = std::function<void(int n, int count, const std::string& name)>;
/// Bytes of the entries dealt with (copied, adopted or failed) of all the run has to copy; called
/// before each file's progress and once when the run ends.
using MirrorBytes = std::function<void(int64_t done, int64_t total)>;

/// Copies every entry verified on primary that secondary lacks, adopts identical files already
/// there, clones views where secondary can clone, then copies the report folders exclusively.
/// Throws IngestStop (destMissing, noSpace).
MirrorResult runMirror(const std::string& primary, const std::string& secondary, Store& store,
                       const FreeBytes& free, const MirrorProgress& progress,
                       const MirrorBytes& bytes = {}, Fs& fs = realFs());

/// runMirror, then the secondary's hash-list generation: every entry copied or adopted now and
/// every file verified there that no generation lists yet. Nothing is written on a secondary
/// that was lost. The cascade and the mirror command both go through here.
MirrorResult mirrorAndList(const std::string& primary, const std::string& secondary, Store& store,
                           const NameSet& names, const FreeBytes& free,
                           const MirrorProgress& progress, const MirrorBytes& bytes = {},
                           Fs& fs = realFs());

/// The name set of a project folder: English when only the English reports folder is there.
const NameSet& namesOfFolder(const std::string& root, Fs& fs = realFs());

}  // namespace tolverdine
