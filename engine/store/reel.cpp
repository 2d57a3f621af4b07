// The reel folder of a card in mirror storage. Kept apart from the pure path functions because
// it reads the state database and the destinations.
#include "engine/store/reel.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "engine/base/names.h"
#include "engine/base/text.h"
#include "engine/store/store.h"
#include "os/fs.h"

namespace tolverdine {

namespace {
// Enough rows to recognise a card copied before, whatever its size.
constexpr size_t kReelProbeRows = 50;

std::optional<std::string> reelOf(const std::string& rel, const std::string& mirror) {
  if (rel.compare(0, mirror.size() + 1, mirror + "/") != 0) return std::nullopt;
  std::vector<std::string> pieces;
  size_t i = 0;
  while (i <= rel.size()) {
    size_t j = rel.find('/', i);
    if (j == std::string::npos) j = rel.size();
    if (j > i) pieces.push_back(rel.substr(i, j - i));
    i = j + 1;
  }
  if (pieces.size() < 2) return std::nullopt;
  return nfc(pieces[1]);
}

// Largest N of the entries cam_N in folder; 0 when there are none or the folder cannot be read.
int64_t highestReel(const std::string& folder, const std::string& prefix) {
  std::vector<DirEntry> entries;
  if (realFs().list(folder, &entries) != 0) return 0;
  int64_t n = 0;
  for (const DirEntry& e : entries) {
    std::string name = nfc(e.name);
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const char* first = name.data() + prefix.size();
    const char* last = name.data() + name.size();
    int64_t v = 0;
    auto [end, ec] = std::from_chars(first, last, v);
    // The whole rest must be the number: cam_002_old is someone's renamed folder, not a reel.
    // INT64_MAX is refused so the next number cannot overflow.
    if (ec != std::errc() || end != last || v == INT64_MAX) continue;
    if (v > n) n = v;
  }
  return n;
}
}  // namespace

std::string reelFor(const std::vector<Row>& rows, const std::string& cam,
                    const std::vector<std::string>& roots, const NameSet& names, Store& store) {
  std::string mirror = nfc(names.mirror);
  std::string camN = nfc(cam);
  size_t probe = std::min(rows.size(), kReelProbeRows);
  for (size_t i = 0; i < probe; ++i) {
    Row r = rows[i];
    r.rel = nfc(r.rel);  // keys and roots are stored composed
    std::string key = ingestKey(camN, r);
    for (const auto& root : roots) {
      std::optional<std::string> rel = store.destRel(key, nfc(root));
      if (!rel) continue;
      if (auto reel = reelOf(*rel, mirror)) return *reel;
    }
  }

  int64_t n = 0;
  for (const auto& root : roots) n = std::max(n, highestReel(nfc(root) + "/" + mirror, camN + "_"));
  char num[32];
  std::snprintf(num, sizeof num, "%03lld", static_cast<long long>(n + 1));
  return nfc(camN + "_" + num);
}

}  // namespace tolverdine
