#include "testing/share_mount.h"

#include <unistd.h>

namespace tolverdine {

ShareMount::ShareMount(Kind kind) : src_(dir_.path + "/backing"), mnt_(dir_.path + "/share") {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    why_ = "/dev/fuse missing or closed";
    return;
  }
  std::string program;
  if (kind == Kind::bindfs) {
    if (sh("command -v bindfs >/dev/null 2>&1") != 0) {
      why_ = "bindfs not installed (scripts/install-deps)";
      return;
    }
    program = "bindfs";
  } else {
#ifdef TOLVERDINE_STALE_SHARE
    program = TOLVERDINE_STALE_SHARE;
#else
    why_ = "stale_share not built (libfuse3-dev missing)";
    return;
#endif
  }
  if (sh("mkdir -p '" + src_ + "' '" + mnt_ + "'") != 0 ||
      sh("'" + program + "' '" + src_ + "' '" + mnt_ + "' >/dev/null 2>&1") != 0) {
    why_ = program + ": mount refused";
    return;
  }
  ok_ = true;
}

ShareMount::~ShareMount() {
  if (ok_)
    sh("umount '" + mnt_ + "' >/dev/null 2>&1 || fusermount -u '" + mnt_ +
       "' >/dev/null 2>&1 || umount -l '" + mnt_ + "' >/dev/null 2>&1");
}

}  // namespace tolverdine
