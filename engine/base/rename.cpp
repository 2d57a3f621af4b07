#include "engine/base/rename.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#ifndef RENAME_NOREPLACE
#include <linux/fs.h>
#endif

namespace tolverdine {

namespace {
int exclusiveRename(const char* from, const char* to) {
#ifdef SYS_renameat2
  return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE));
#else
  errno = ENOSYS;
  return -1;
#endif
}
}  // namespace

int renameNoReplace(const std::string& from, const std::string& to) {
  if (exclusiveRename(from.c_str(), to.c_str()) == 0) return 0;
  int err = errno;
  if (err != EINVAL && err != ENOSYS && err != EOPNOTSUPP) return err;
  return renameByLink(from, to);
}

int renameByLink(const std::string& from, const std::string& to) {
  // link() refuses an existing target, so the pair keeps the no-replace promise.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  if (::unlink(from.c_str()) != 0) {
    int uerr = errno;
    ::unlink(to.c_str());  // leave the source where it was rather than two names for it
    return uerr;
  }
  return 0;
}

}  // namespace tolverdine
