// The real file system: each call is its system call, nothing added.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

#include "os/clone.h"
#include "os/fs.h"

namespace tolverdine {
namespace {

class PosixFs final : public Fs {
 public:
  int open(const std::string& path, int flags, mode_t mode) override {
    int fd;
    do fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
  }
  ssize_t read(int fd, void* buf, size_t n) override { return ::read(fd, buf, n); }
  ssize_t pread(int fd, void* buf, size_t n, off_t at) override { return ::pread(fd, buf, n, at); }
  ssize_t write(int fd, const void* buf, size_t n) override { return ::write(fd, buf, n); }
  int fsync(int fd) override { return ::fsync(fd); }
  int syncfs(int fd) override { return ::syncfs(fd); }
  int fadvise(int fd, off_t at, off_t len, int advice) override {
    return ::posix_fadvise(fd, at, len, advice);
  }
  int fstat(int fd, struct stat* st) override { return ::fstat(fd, st); }
  int futimens(int fd, const struct timespec times[2]) override { return ::futimens(fd, times); }
  int setDirect(int fd, bool on) override {
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0) return -1;
    return ::fcntl(fd, F_SETFL, on ? fl | O_DIRECT : fl & ~O_DIRECT);
  }
  int lockExclusive(int fd) override {
    int rc;
    do rc = ::flock(fd, LOCK_EX);
    while (rc != 0 && errno == EINTR);
    return rc;
  }
  int stat(const std::string& path, struct stat* st) override { return ::stat(path.c_str(), st); }
  int lstat(const std::string& path, struct stat* st) override { return ::lstat(path.c_str(), st); }
  int access(const std::string& path, int mode) override { return ::access(path.c_str(), mode); }
  int statvfs(const std::string& path, struct statvfs* st) override {
    return ::statvfs(path.c_str(), st);
  }
  long fsType(const std::string& path) override {
    struct statfs fs {};
    if (::statfs(path.c_str(), &fs) != 0) return -1;
    return static_cast<long>(fs.f_type);
  }
  long nameMax(const std::string& path) override { return ::pathconf(path.c_str(), _PC_NAME_MAX); }
  int utimens(const std::string& path, const struct timespec times[2]) override {
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
  int renameNoReplace(const std::string& from, const std::string& to) override {
    return static_cast<int>(
        ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE));
  }
  int rename(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str());
  }
  int link(const std::string& from, const std::string& to) override {
    return ::link(from.c_str(), to.c_str());
  }
  int unlink(const std::string& path) override { return ::unlink(path.c_str()); }
  int mkdir(const std::string& path, mode_t mode) override { return ::mkdir(path.c_str(), mode); }
  int rmdir(const std::string& path) override { return ::rmdir(path.c_str()); }
  int list(const std::string& dir, std::vector<DirEntry>* out) override {
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d) return -1;
    out->clear();
    for (;;) {
      errno = 0;
      const dirent* e = ::readdir(d.get());
      if (!e) break;
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      out->push_back({name, e->d_type});
    }
    return errno ? -1 : 0;
  }
  int clone(const std::string& src, const std::string& dst) override { return cloneFile(src, dst); }
  std::optional<std::string> realPath(const std::string& path) override {
    std::unique_ptr<char, void (*)(void*)> r(::realpath(path.c_str(), nullptr), std::free);
    if (!r) return std::nullopt;
    return std::string(r.get());
  }
};

}  // namespace

Fs& realFs() {
  static PosixFs fs;
  return fs;
}

}  // namespace tolverdine
