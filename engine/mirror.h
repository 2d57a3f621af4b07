// The later second copy of a verified project folder onto another destination, checked against
// the hashes recorded when the card was first copied, never against the primary as it is now.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/records.h"

namespace tolverdine {

class Store;

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
};

using FreeBytes = std::function<int64_t(const std::string& root)>;
using MirrorProgress = std::function<void(int n, int count, const std::string& name)>;

/// Copies every entry verified on primary that secondary lacks, adopts identical files already
/// there, clones views where secondary can clone, then copies the report folders exclusively.
/// Throws IngestStop (destMissing, noSpace).
MirrorResult runMirror(const std::string& primary, const std::string& secondary, Store& store,
                       const FreeBytes& free, const MirrorProgress& progress);

}  // namespace tolverdine
