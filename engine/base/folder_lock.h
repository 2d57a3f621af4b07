// The writers' lock of one folder, for what several runs on one drive must do one at a time:
// numbering hash-list generations and rebuilding their chain, naming reports.
#pragma once

#include <mutex>
#include <string>

#include "os/fd.h"
#include "os/fs.h"

namespace tolverdine {

inline constexpr const char* kFolderLockFile = ".tolverdine.lock";

/// Holds the lock of dir: a mutex by path inside this process and an flock on a lock file in the
/// folder across processes. Without a lock file (read-only folder) only the mutex is held; the
/// write that follows fails anyway. The lock file is removed on release, so the folder holds
/// only its own files once no writer is at work.
class FolderLock {
 public:
  explicit FolderLock(const std::string& dir, Fs& fs = realFs());
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  std::unique_lock<std::mutex> mutex_;
  Fs& fs_;
  std::string path_;
  UniqueFd file_;  // declared after mutex_: unlocked first
};

}  // namespace tolverdine
