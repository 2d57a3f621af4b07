#include <sys/stat.h>

#include "engine/base/names.h"
#include "engine/copy/mirror.h"
#include "engine/hashlist/mhl_complete.h"

namespace tolverdine {

MirrorResult mirrorAndList(const std::string& primary, const std::string& secondary, Store& store,
                           const NameSet& names, const FreeBytes& free,
                           const MirrorProgress& progress, const MirrorBytes& bytes, Fs& fs) {
  MirrorResult r = runMirror(primary, secondary, store, free, progress, bytes, fs);
  if (r.lost) return r;
  try {
    MHLListing l =
        writeListedGeneration(secondary, r.verified, verifiedEntriesOf(store, secondary, fs), names,
                              std::nullopt, std::time(nullptr), fs);
    r.hashList = l.file;
    r.unlisted = std::move(l.leftOut);
  } catch (const WriteFail& f) {
    r.hashListFail = f;
  }
  return r;
}

const NameSet& namesOfFolder(const std::string& root, Fs& fs) {
  auto isDir = [&](const std::string& name) {
    struct stat st;
    return fs.stat(root + "/" + name, &st) == 0 && S_ISDIR(st.st_mode);
  };
  if (isDir(NameSet::en().reports) && !isDir(NameSet::ko().reports)) return NameSet::en();
  return NameSet::ko();
}

}  // namespace tolverdine
