#include "os/clone.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/fd.h"

namespace tolverdine {

int cloneFile(const std::string& src, const std::string& dst) {
  UniqueFd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) return errno;
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  UniqueFd out(::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!out) return errno;
  int err = 0;
  if (::ioctl(out.get(), FICLONE, in.get()) != 0) err = errno;
  if (!err) {
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (::fchmod(out.get(), st.st_mode & 07777) != 0 || ::futimens(out.get(), times) != 0)
      err = errno;
  }
  if (out.reset() != 0 && !err) err = errno;
  if (err) ::unlink(dst.c_str());
  return err;
}

}  // namespace tolverdine
