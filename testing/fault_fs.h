// A file system for tests that breaks on cue: it passes every call to a real one, counts them,
// and either fails one chosen call with a chosen errno or acts out a crash from a chosen call on.
//
// A crash works as LevelDB's fault-injection environment does: from the chosen call on, every
// call fails (EIO), and dropUnsynced() afterwards throws away what a power cut would: each file
// written since it was opened here is cut back to the length it had at its last fsync/syncfs,
// and a file that was never synced is removed; then every name made in a folder since that
// folder's last fsync (or the last syncfs) is lost, newest first: a created file or folder goes,
// a renamed or linked one goes back to its old name (a replaced file gets its old bytes back).
//
// Reads can also break without a crash: every read may give less than asked (as pipes and network
// file systems do), and one file's k-th read may fail or end the file early.
#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/fs.h"

namespace tolverdine::testing {

/// Which calls a plan counts: reads look, writes change something, advice is a hint that the
/// caller ignores when it fails.
enum FsKind : unsigned { kFsRead = 1, kFsWrite = 2, kFsAdvice = 4 };

struct FaultPlan {
  long failAt = 0;      // 1-based number of the counted call that fails; 0: none fails
  int err = EIO;        // what that call fails with
  bool crash = false;   // from failAt on every call fails, and dropUnsynced() means something
  bool sticky = false;  // from failAt on every counted call fails with err (a pulled card or drive)
  unsigned kinds = kFsRead | kFsWrite;  // the calls that are counted (FsKind bits)
  std::string under = {};     // when set, only calls on paths below this folder are counted
  bool shortReads = false;    // every read and pread gives at most half of what was asked
  std::string readPath = {};  // when set, the readAt-th read or pread of this file breaks:
  long readAt = 0;
  int readErr = 0;  // it fails with this errno; 0: it returns 0, an end of file before the end
};

class FaultFs final : public Fs {
 public:
  explicit FaultFs(FaultPlan plan = {}, Fs& base = realFs())
      : plan_(std::move(plan)), base_(base) {}

  /// Calls counted so far (those the plan's kinds and folder select).
  long counted() const;
  /// True once the planned failure (or crash) happened.
  bool fired() const;
  /// The crash's loss of unsynced data; nothing without a crash.
  void dropUnsynced();
  /// A power cut now: every later call fails, and what no flush reached is lost.
  void cutPower();

  int open(const std::string& path, int flags, mode_t mode = 0) override;
  ssize_t read(int fd, void* buf, size_t n) override;
  ssize_t pread(int fd, void* buf, size_t n, off_t at) override;
  ssize_t write(int fd, const void* buf, size_t n) override;
  int fsync(int fd) override;
  int syncfs(int fd) override;
  int fadvise(int fd, off_t at, off_t len, int advice) override;
  int fstat(int fd, struct stat* st) override;
  int futimens(int fd, const struct timespec times[2]) override;
  int setDirect(int fd, bool on) override;
  int lockExclusive(int fd) override;
  int stat(const std::string& path, struct stat* st) override;
  int lstat(const std::string& path, struct stat* st) override;
  int statvfs(const std::string& path, struct statvfs* st) override;
  long fsType(const std::string& path) override;
  long nameMax(const std::string& path) override;
  int utimens(const std::string& path, const struct timespec times[2]) override;
  int renameNoReplace(const std::string& from, const std::string& to) override;
  int rename(const std::string& from, const std::string& to) override;
  int link(const std::string& from, const std::string& to) override;
  int unlink(const std::string& path) override;
  int mkdir(const std::string& path, mode_t mode) override;
  int rmdir(const std::string& path) override;
  int list(const std::string& dir, std::vector<DirEntry>* out) override;
  int clone(const std::string& src, const std::string& dst) override;
  std::optional<std::string> realPath(const std::string& path) override;
  int access(const std::string& path, int mode) override;

 private:
  // True when this call must fail (errno set). Counts it when the plan selects it.
  bool trip(unsigned kind, const std::string& path);
  bool trip(unsigned kind, int fd) { return trip(kind, pathOf(fd)); }
  std::string pathOf(int fd);
  // Moves what is known of from's sync state to to after a rename or link that worked (rc 0),
  // and notes the new name; returns rc.
  int moved(int rc, const std::string& from, const std::string& to, bool keepFrom,
            std::optional<std::string> old = {});
  // A name made in a folder; from is its old name (empty when it is new), old what it replaced.
  void named(const std::string& path, const std::string& from, std::optional<std::string> old = {});
  // The read as the plan shapes it: short, failed or an early end; -1 with errno on failure.
  ssize_t shapedRead(int fd, void* buf, size_t n, const off_t* at);

  struct NameOp {
    std::string path, folder, from;
    std::optional<std::string> old;  // the bytes of the file a rename replaced
  };

  const FaultPlan plan_;
  Fs& base_;
  mutable std::mutex lock_;
  long counted_ = 0;
  bool fired_ = false;
  bool crashed_ = false;
  std::map<int, std::string> fdPath_;    // descriptors handed out, with their paths
  std::map<std::string, off_t> synced_;  // files written here: length at the last sync, -1 never
  std::vector<NameOp> unsyncedNames_;    // oldest first
  std::map<std::string, long> reads_;    // reads of plan_.readPath so far
};

}  // namespace tolverdine::testing
