#include "engine/store/view.h"

#include <sys/stat.h>

#include "engine/base/files.h"
#include "engine/base/names.h"
#include "engine/base/path_name.h"
#include "engine/base/text.h"
#include "engine/store/store.h"
#include "os/fs.h"

namespace tolverdine {
namespace {

// Anything at path, a dangling link included: a view is never made over it.
bool taken(Fs& fs, const std::string& path) {
  struct ::stat st {};
  return fs.lstat(path, &st) == 0;
}

}  // namespace

std::vector<std::string> makeView(const std::vector<Row>& rows, const std::string& root,
                                  const std::string& cam, Store& store) {
  Fs& fs = realFs();
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
    if (taken(fs, target)) continue;
    // The user moved this clip's view elsewhere: do not bring the old one back beside it.
    auto was = store.recordedView(key, root);
    if (was && nfc(*was) != nfc(*row.view) && staysInside(*was) && taken(fs, join(root, *was)))
      continue;
    mkdirs(parentPath(target));
    if (fs.clone(join(root, *row.dest), target) != 0) failed.push_back(*row.view);
  }
  return failed;
}

}  // namespace tolverdine
