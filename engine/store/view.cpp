#include "engine/store/view.h"

#include <sys/stat.h>

#include "engine/base/files.h"
#include "engine/base/names.h"
#include "engine/store/store.h"
#include "engine/base/text.h"
#include "platform/posix/fs.h"

namespace tolverdine {
namespace {

// Anything at path, a dangling link included: a view is never made over it.
bool taken(Fs& fs, const std::string& path) {
  struct ::stat st {};
  return fs.lstat(path, &st) == 0;
}

// A relative path that stays inside the project folder.
bool inside(const std::string& rel) {
  if (rel.empty() || rel[0] == '/') return false;
  size_t i = 0;
  while (i <= rel.size()) {
    size_t j = rel.find('/', i);
    if (j == std::string::npos) j = rel.size();
    if (rel.compare(i, j - i, "..") == 0 && j - i == 2) return false;
    i = j + 1;
  }
  return true;
}

}  // namespace

std::vector<std::string> makeView(const std::vector<Row>& rows, const std::string& root, const std::string& cam,
                                  Store& store) {
  Fs& fs = realFs();
  std::vector<std::string> failed;
  for (const auto& row : rows) {
    if (!row.dest || !row.view) continue;
    const std::string key = ingestKey(cam, row);
    if (!store.verifiedHash(key, root)) continue;
    if (!inside(*row.view) || !inside(*row.dest)) {
      failed.push_back(*row.view);
      continue;
    }
    const std::string target = nfc(join(root, *row.view));
    if (taken(fs, target)) continue;
    // The user moved this clip's view elsewhere: do not bring the old one back beside it.
    auto was = store.recordedView(key, root);
    if (was && nfc(*was) != nfc(*row.view) && inside(*was) && taken(fs, join(root, *was))) continue;
    mkdirs(parentPath(target));
    if (fs.clone(join(root, *row.dest), target) != 0) failed.push_back(*row.view);
  }
  return failed;
}

}  // namespace tolverdine
