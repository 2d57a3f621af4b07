#include "testing/share_mount.h"

#include <unistd.h>

namespace tolverdine {

ShareMount::ShareMount() : src_(dir_.path + "/backing"), mnt_(dir_.path + "/share") {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    why_ = "/dev/fuse missing or closed";
    return;
  }
  if (sh("command -v bindfs >/dev/null 2>&1") != 0) {
    why_ = "bindfs not installed (scripts/install-deps)";
    return;
  }
  if (sh("mkdir -p '" + src_ + "' '" + mnt_ + "'") != 0 ||
      sh("bindfs '" + src_ + "' '" + mnt_ + "' >/dev/null 2>&1") != 0) {
    why_ = "bindfs mount refused";
    return;
  }
  ok_ = true;
}

ShareMount::~ShareMount() {
  if (ok_)
    sh("fusermount -u '" + mnt_ + "' >/dev/null 2>&1 || fusermount3 -u '" + mnt_ + "' >/dev/null 2>&1 || umount -l '" + mnt_ +
       "' >/dev/null 2>&1");
}

}  // namespace tolverdine
