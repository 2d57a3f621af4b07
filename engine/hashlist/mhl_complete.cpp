#include "engine/hashlist/mhl_complete.h"

#include <sys/stat.h>

#include <set>

#include "engine/base/term_text.h"
#include "engine/base/text.h"
#include "engine/hashlist/mhl.h"
#include "engine/hashlist/mhl_folder.h"
#include "engine/hashlist/mhl_history.h"
#include "engine/store/store.h"

namespace tolverdine {

MHLListing writeListedGeneration(const std::string& root, const std::vector<Verified>& items,
                                 const std::vector<Verified>& known, const NameSet& names,
                                 const std::optional<std::string>& author, std::time_t now,
                                 Fs& fs) {
  MHLListing out;
  // A run killed between a generation and its chain left a chain that a run with nothing new to
  // list would otherwise never mend.
  out.setAside = repairChain(nfc(root + "/" + kMHLFolder), fs);
  std::set<std::string> listed, left;
  for (const auto& [path, entries] : readMHLHistory(root).files) listed.insert(path);
  std::vector<const Verified*> taken;
  auto take = [&](const Verified& v, bool always) {
    std::string p = nfc(v.row.dest.value_or(""));
    if (!xmlCarriable(p)) {
      if (left.insert(p).second) out.leftOut.push_back(p);
      return;
    }
    if (!always && listed.count(p)) return;
    listed.insert(p);
    taken.push_back(&v);
  };
  for (const auto& v : items) take(v, true);
  for (const auto& v : known) take(v, false);
  // Mostly every copy of the run and nothing else (the last taken is its last): listed as they
  // are, not copied first; each carries its whole row, and a long card has tens of thousands.
  if (taken.size() == items.size() && (items.empty() || taken.back() == &items.back())) {
    out.file = writeMHLGeneration(root, items, names, author, now, fs);
    return out;
  }
  std::vector<Verified> all;
  all.reserve(taken.size());
  for (const Verified* v : taken) all.push_back(*v);
  out.file = writeMHLGeneration(root, all, names, author, now, fs);
  return out;
}

std::vector<Verified> verifiedOnRoot(Store& store, const std::string& cam,
                                     const std::vector<Row>& rows, const std::string& root) {
  std::vector<Verified> out;
  for (const auto& r : rows) {
    if (!r.dest) continue;
    // A database that cannot be read lists nothing more; this run's items are still listed.
    auto q = store.verifiedCopy(ingestKey(cam, r), root);
    if (!q || !q->hash) continue;
    Verified v{r, *q->hash, q->md5};
    v.row.dest = q->rel;  // where it is now, after any move
    out.push_back(std::move(v));
  }
  return out;
}

std::vector<Verified> verifiedEntriesOf(Store& store, const std::string& root, Fs& fs) {
  std::vector<Verified> out;
  for (const auto& e : store.verifiedEntries(root)) {
    if (!e.hash) continue;
    Verified v;
    v.row.rel = e.rel;
    v.row.dest = e.rel;
    v.row.size = e.size;
    v.row.view = e.view;
    v.hash = *e.hash;
    struct stat st;
    if (fs.stat(nfc(root + "/" + e.rel), &st) == 0)
      v.row.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    out.push_back(std::move(v));
  }
  return out;
}

std::string unlistedLine(const std::vector<std::string>& names) {
  std::string s =
      "해시 목록에 넣지 못한 파일 " + std::to_string(names.size()) + "개 (XML에 쓸 수 없는 이름): ";
  for (size_t i = 0; i < names.size() && i < 5; ++i) s += (i ? ", " : "") + printableName(names[i]);
  if (names.size() > 5) s += " 외 " + std::to_string(names.size() - 5) + "개";
  return s;
}

std::vector<std::string> unlistableNames(const std::vector<Row>& rows) {
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const auto& r : rows)
    if (r.dest && !xmlCarriable(nfc(*r.dest)) && seen.insert(*r.dest).second)
      out.push_back(*r.dest);
  return out;
}

}  // namespace tolverdine
