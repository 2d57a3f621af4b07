#include "engine/store/view.h"

#include "platform/posix/clone.h"
#include "engine/base/files.h"
#include "engine/base/names.h"
#include "engine/store/store.h"
#include "engine/base/text.h"
#include "engine/base/path_name.h"

namespace tolverdine {
namespace {

std::optional<std::string> recordedView(Store& store, const std::string& key, const std::string& root) {
  std::optional<std::string> v;
  try {
    store.query("SELECT view FROM copy WHERE key=? AND dest=?", {key, root},
                [&](const SqlRow& r) { v = r.text(0); });
  } catch (...) {
  }
  return v;
}

}  // namespace

std::vector<std::string> makeView(const std::vector<Row>& rows, const std::string& root, const std::string& cam,
                                  Store& store) {
  std::vector<std::string> failed;
  for (const auto& row : rows) {
    if (!row.dest || !row.view) continue;
    const std::string key = ingestKey(cam, row);
    if (!store.verifiedHash(key, root)) continue;
    if (!staysInside(*row.view) || !staysInside(*row.dest)) {
      failed.push_back(*row.view);
      continue;
    }
    const std::string target = nfc(join(root, *row.view));
    if (exists(target)) continue;
    // The user moved this clip's view elsewhere: do not bring the old one back beside it.
    auto was = recordedView(store, key, root);
    if (was && nfc(*was) != nfc(*row.view) && staysInside(*was) && exists(join(root, *was))) continue;
    mkdirs(parentPath(target));
    if (cloneFile(join(root, *row.dest), target) != 0) failed.push_back(*row.view);
  }
  return failed;
}

}  // namespace tolverdine
