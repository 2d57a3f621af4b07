#include "engine/base/rename.h"

#include <cerrno>

namespace tolverdine {

int renameNoReplace(const std::string& from, const std::string& to, Fs& fs) {
  if (fs.renameNoReplace(from, to) == 0) return 0;
  int err = errno;
  if (err != EINVAL && err != ENOSYS && err != EOPNOTSUPP) return err;
  return renameByLink(from, to, fs);
}

int renameByLink(const std::string& from, const std::string& to, Fs& fs) {
  // link() refuses an existing target, so the pair keeps the no-replace promise.
  if (fs.link(from, to) != 0) return errno;
  if (fs.unlink(from) != 0) {
    int uerr = errno;
    fs.unlink(to);  // leave the source where it was rather than two names for it
    return uerr;
  }
  return 0;
}

}  // namespace tolverdine
