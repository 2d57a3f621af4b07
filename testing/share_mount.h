// A folder seen through a FUSE mount that behaves as network shares do: renameat2 with
// RENAME_NOREPLACE is refused with EINVAL, while link() and the plain calls work.
#pragma once

#include <string>

#include "testing/test_util.h"

namespace tolverdine {

class ShareMount {
 public:
  enum class Kind {
    // bindfs: passes no rename flags through, so the exclusive rename is refused.
    bindfs,
    // testing/share_fs/stale_share: the same, and a backing file of mode 0000 is another
    // client's file this client does not see yet: missing from lookups and listings, while
    // link() and exclusive creation over it still fail with EEXIST on the server.
    staleView,
  };
  /// ok() is false (with why()) without /dev/fuse, the program, or the right to mount.
  explicit ShareMount(Kind kind = Kind::bindfs);
  ~ShareMount();
  ShareMount(const ShareMount&) = delete;
  ShareMount& operator=(const ShareMount&) = delete;

  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }
  /// The mounted view, where the program under test writes.
  const std::string& path() const { return mnt_; }
  /// The folder behind it, for looking at what was written without FUSE in the way.
  const std::string& backing() const { return src_; }

 private:
  TempDir dir_;
  std::string src_, mnt_;
  bool ok_ = false;
  std::string why_;
};

}  // namespace tolverdine

#define SKIP_UNLESS_SHARE(m) \
  if (!(m).ok()) GTEST_SKIP() << "FUSE share not available: " << (m).why()
