// The file system as the engine sees it: one seam, so a test can fail any call (see
// testing/fault_fs.h) and another platform can bring its own.
//
// Every call behaves as its POSIX namesake: it returns -1 (or nullopt) and sets errno on failure.
// Descriptors are plain ints owned by UniqueFd; implementations must hand out real descriptors
// or descriptors that ::close accepts.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace tolverdine {

struct DirEntry {
  std::string name;    // never "." or ".."
  unsigned char type;  // DT_REG, DT_DIR, DT_LNK, ... or DT_UNKNOWN
};

class Fs {
 public:
  virtual ~Fs() = default;

  virtual int open(const std::string& path, int flags, mode_t mode = 0) = 0;
  virtual ssize_t read(int fd, void* buf, size_t n) = 0;
  virtual ssize_t pread(int fd, void* buf, size_t n, off_t at) = 0;
  virtual ssize_t write(int fd, const void* buf, size_t n) = 0;
  /// fsync of one file; syncfs of the whole file system holding fd.
  virtual int fsync(int fd) = 0;
  virtual int syncfs(int fd) = 0;
  /// posix_fadvise; returns 0 or the error number, as posix_fadvise does.
  virtual int fadvise(int fd, off_t at, off_t len, int advice) = 0;
  virtual int fstat(int fd, struct stat* st) = 0;
  virtual int futimens(int fd, const struct timespec times[2]) = 0;
  /// Turns O_DIRECT on or off for an open descriptor (fcntl F_SETFL).
  virtual int setDirect(int fd, bool on) = 0;
  /// flock(LOCK_EX): waits for the exclusive lock of an open file (EINTR retried).
  virtual int lockExclusive(int fd) = 0;

  virtual int stat(const std::string& path, struct stat* st) = 0;
  virtual int lstat(const std::string& path, struct stat* st) = 0;
  /// access(2): may this process read / write / run path (R_OK, W_OK, X_OK, F_OK)?
  virtual int access(const std::string& path, int mode) = 0;
  virtual int statvfs(const std::string& path, struct statvfs* st) = 0;
  /// statfs(2)'s f_type of the file system holding path (a magic number); -1 and errno on failure.
  virtual long fsType(const std::string& path) = 0;
  /// pathconf(_PC_NAME_MAX) of the folder path: longest file name there; -1 when unknown.
  virtual long nameMax(const std::string& path) = 0;
  virtual int utimens(const std::string& path, const struct timespec times[2]) = 0;
  /// renameat2(RENAME_NOREPLACE): EEXIST when `to` exists; EINVAL/ENOSYS where unsupported.
  virtual int renameNoReplace(const std::string& from, const std::string& to) = 0;
  /// Plain rename(2), replacing `to`. Only for files the engine itself owns (temporaries).
  virtual int rename(const std::string& from, const std::string& to) = 0;
  virtual int link(const std::string& from, const std::string& to) = 0;
  virtual int unlink(const std::string& path) = 0;
  virtual int mkdir(const std::string& path, mode_t mode) = 0;
  virtual int rmdir(const std::string& path) = 0;
  /// The names in a folder, unsorted; -1 and errno when it cannot be opened or read to the end.
  virtual int list(const std::string& dir, std::vector<DirEntry>* out) = 0;
  /// Copy-on-write clone of src to dst (created exclusively); 0 or the error number.
  virtual int clone(const std::string& src, const std::string& dst) = 0;
  /// realpath(3).
  virtual std::optional<std::string> realPath(const std::string& path) = 0;
};

/// The operating system's file system. One stateless object for the process.
Fs& realFs();

}  // namespace tolverdine
