#include "engine/twin.h"

#include "engine/copy.h"
#include "engine/names.h"
#include "engine/store.h"

namespace tolverdine {

TwinCheck verifyTwin(const std::string& root, const std::vector<CardFile>& files, const std::string& cam,
                     Store& store, int copiesRequired) {
  TwinCheck out;
  for (const CardFile& f : files) {
    std::string key = ingestKey(cam, f);
    std::optional<std::string> recorded;
    try {
      store.query("SELECT xxh64 FROM copy WHERE key=? AND state='verified' LIMIT 1", {key},
                  [&](const SqlRow& r) { recorded = r.text(0); });
    } catch (const StoreError&) {
      recorded.reset();
    }
    if (!recorded) {
      out.differ.push_back(f.rel);
      continue;
    }
    std::optional<std::string> h = hashFile(join(root, f.rel));
    if (!h) {
      out.unread.push_back(f.rel);
    } else if (*h == *recorded) {
      ++out.same;
      if (store.verifiedCount(key) < copiesRequired) out.underCopied.push_back(f.rel);
    } else {
      out.differ.push_back(f.rel);
    }
  }
  return out;
}

}  // namespace tolverdine
