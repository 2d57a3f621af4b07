#include "engine/copy/storage_plan.h"

#include "engine/store/reel.h"
#include "engine/store/store.h"

namespace tolverdine {

StorageMode applyStorage(StorageMode configured, std::vector<Row>& rows, const std::string& cam,
                         const std::vector<std::string>& roots, const NameSet& names,
                         Store& store) {
  StorageMode mode = resolveStorage(configured, roots);
  if (mode == StorageMode::mirror)
    mirrorPaths(rows, reelFor(rows, cam, roots, names, store), names);
  return mode;
}

}  // namespace tolverdine
