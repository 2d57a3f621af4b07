#include "engine/hashlist/changed_copies.h"

#include <set>

#include "engine/base/text.h"

namespace tolverdine {

void forgetChangedCopies(Store& store, const std::string& root, const MHLVerifyReport& report) {
  std::set<std::string> bad;
  for (const auto& f : report.files)
    if (f.state == FileState::changed || f.state == FileState::unreadable) bad.insert(f.path);
  if (bad.empty()) return;
  for (const Entry& e : store.verifiedEntries(root)) {
    // The lists name every path composed (NFC); the database keeps the name as the card had it.
    if (!bad.count(nfc(e.rel))) continue;
    store.record(e.key, root, e.rel, e.size, std::nullopt, CopyState::failed, 1, std::nullopt,
                 e.view);
  }
}

}  // namespace tolverdine
