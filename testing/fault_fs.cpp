#include "testing/fault_fs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tolverdine::testing {

namespace {
bool below(const std::string& path, const std::string& folder) {
  if (folder.empty()) return true;
  return path.compare(0, folder.size(), folder) == 0 &&
         (path.size() == folder.size() || path[folder.size()] == '/');
}

// One spelling per folder, so that "a/./b/" and "a/b" are the same folder.
std::string normal(const std::string& path) {
  std::string s = std::filesystem::path(path).lexically_normal().string();
  if (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string folderOf(const std::string& path) {
  std::string f = std::filesystem::path(normal(path)).parent_path().string();
  return f.empty() ? std::string(".") : f;
}

std::optional<std::string> bytesOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}
}  // namespace

long FaultFs::counted() const {
  std::lock_guard l(lock_);
  return counted_;
}

bool FaultFs::fired() const {
  std::lock_guard l(lock_);
  return fired_;
}

bool FaultFs::trip(unsigned kind, const std::string& path) {
  std::lock_guard l(lock_);
  if (crashed_) {
    errno = EIO;
    return true;
  }
  if (!(plan_.kinds & kind) || !below(path, plan_.under)) return false;
  ++counted_;
  if (fired_ && plan_.sticky) {
    errno = plan_.err;
    return true;
  }
  if (counted_ != plan_.failAt) return false;
  fired_ = true;
  crashed_ = plan_.crash;
  errno = plan_.crash ? EIO : plan_.err;
  return true;
}

std::string FaultFs::pathOf(int fd) {
  std::lock_guard l(lock_);
  auto it = fdPath_.find(fd);
  return it == fdPath_.end() ? std::string() : it->second;
}

int FaultFs::moved(int rc, const std::string& from, const std::string& to, bool keepFrom,
                   std::optional<std::string> old) {
  if (rc != 0) return rc;
  {
    std::lock_guard l(lock_);
    auto it = synced_.find(from);
    if (it == synced_.end()) {
      synced_.erase(to);  // whatever it was, it is now a file written before we looked
    } else {
      synced_[to] = it->second;
      if (!keepFrom) synced_.erase(from);
    }
  }
  named(to, from, std::move(old));
  return rc;
}

void FaultFs::dropUnsynced() {
  std::lock_guard l(lock_);
  if (!crashed_) return;
  for (const auto& [path, len] : synced_) {
    if (len < 0) (void)::unlink(path.c_str());
    else (void)::truncate(path.c_str(), len);
  }
  synced_.clear();
  for (auto it = unsyncedNames_.rbegin(); it != unsyncedNames_.rend(); ++it) {
    std::error_code ec;
    if (it->from.empty()) {
      std::filesystem::remove_all(it->path, ec);
      continue;
    }
    struct stat st {};
    if (::lstat(it->path.c_str(), &st) != 0) continue;  // removed again since
    if (::access(it->from.c_str(), F_OK) != 0 && ::access(folderOf(it->from).c_str(), F_OK) == 0)
      (void)::rename(it->path.c_str(), it->from.c_str());
    else (void)::unlink(it->path.c_str());
    if (it->old) std::ofstream(it->path, std::ios::binary) << *it->old;
  }
  unsyncedNames_.clear();
}

void FaultFs::cutPower() {
  {
    std::lock_guard l(lock_);
    fired_ = crashed_ = true;
  }
  dropUnsynced();
}

void FaultFs::named(const std::string& path, const std::string& from,
                    std::optional<std::string> old) {
  std::lock_guard l(lock_);
  if (crashed_) return;
  unsyncedNames_.push_back({path, folderOf(path), from, std::move(old)});
}

ssize_t FaultFs::shapedRead(int fd, void* buf, size_t n, const off_t* at) {
  const std::string path = pathOf(fd);
  if (trip(kFsRead, path)) return -1;
  if (!plan_.readPath.empty() && path == plan_.readPath) {
    std::lock_guard l(lock_);
    if (++reads_[path] == plan_.readAt) {
      fired_ = true;
      if (plan_.readErr == 0) return 0;
      errno = plan_.readErr;
      return -1;
    }
  }
  if (plan_.shortReads && n > 1) n /= 2;
  return at ? base_.pread(fd, buf, n, *at) : base_.read(fd, buf, n);
}

int FaultFs::open(const std::string& path, int flags, mode_t mode) {
  const bool writes = (flags & O_ACCMODE) != O_RDONLY;
  if (trip(writes || (flags & O_CREAT) ? kFsWrite : kFsRead, path)) return -1;
  struct stat before {};
  const bool existed = base_.stat(path, &before) == 0;
  int fd = base_.open(path, flags, mode);
  if (fd < 0) return fd;
  if (!existed && (flags & O_CREAT)) named(path, "");
  std::lock_guard l(lock_);
  fdPath_[fd] = path;
  if (writes && !synced_.count(path))
    synced_[path] = existed && !(flags & O_TRUNC) ? before.st_size : -1;
  else if (writes && (flags & O_TRUNC)) synced_[path] = -1;
  return fd;
}

ssize_t FaultFs::read(int fd, void* buf, size_t n) { return shapedRead(fd, buf, n, nullptr); }
ssize_t FaultFs::pread(int fd, void* buf, size_t n, off_t at) {
  return shapedRead(fd, buf, n, &at);
}
ssize_t FaultFs::write(int fd, const void* buf, size_t n) {
  return trip(kFsWrite, fd) ? -1 : base_.write(fd, buf, n);
}

int FaultFs::fsync(int fd) {
  const std::string path = pathOf(fd);
  if (trip(kFsWrite, path)) return -1;
  if (int rc = base_.fsync(fd)) return rc;
  struct stat st {};
  if (base_.fstat(fd, &st) != 0) return 0;
  std::lock_guard l(lock_);
  if (S_ISDIR(st.st_mode)) {
    const std::string folder = normal(path);
    std::erase_if(unsyncedNames_, [&](const NameOp& op) { return op.folder == folder; });
    return 0;
  }
  if (synced_.count(path)) synced_[path] = st.st_size;
  return 0;
}

int FaultFs::syncfs(int fd) {
  if (trip(kFsWrite, fd)) return -1;
  if (int rc = base_.syncfs(fd)) return rc;
  // Every file of the test lies on one file system: all of them are on the medium now.
  std::lock_guard l(lock_);
  for (auto& [path, len] : synced_) {
    struct stat st {};
    if (base_.stat(path, &st) == 0) len = st.st_size;
  }
  unsyncedNames_.clear();
  return 0;
}

// Advice is a hint: the caller reads from the drive when it fails.
int FaultFs::fadvise(int fd, off_t at, off_t len, int advice) {
  return trip(kFsAdvice, fd) ? errno : base_.fadvise(fd, at, len, advice);
}
int FaultFs::fstat(int fd, struct stat* st) { return trip(kFsRead, fd) ? -1 : base_.fstat(fd, st); }
int FaultFs::futimens(int fd, const struct timespec times[2]) {
  return trip(kFsWrite, fd) ? -1 : base_.futimens(fd, times);
}
int FaultFs::setDirect(int fd, bool on) { return trip(kFsRead, fd) ? -1 : base_.setDirect(fd, on); }
int FaultFs::lockExclusive(int fd) { return trip(kFsWrite, fd) ? -1 : base_.lockExclusive(fd); }
int FaultFs::stat(const std::string& p, struct stat* st) {
  return trip(kFsRead, p) ? -1 : base_.stat(p, st);
}
int FaultFs::lstat(const std::string& p, struct stat* st) {
  return trip(kFsRead, p) ? -1 : base_.lstat(p, st);
}
long FaultFs::fsType(const std::string& p) { return trip(kFsRead, p) ? -1 : base_.fsType(p); }
long FaultFs::nameMax(const std::string& p) { return trip(kFsRead, p) ? -1 : base_.nameMax(p); }
int FaultFs::statvfs(const std::string& p, struct statvfs* st) {
  return trip(kFsRead, p) ? -1 : base_.statvfs(p, st);
}
int FaultFs::utimens(const std::string& p, const struct timespec times[2]) {
  return trip(kFsWrite, p) ? -1 : base_.utimens(p, times);
}
int FaultFs::rmdir(const std::string& p) { return trip(kFsWrite, p) ? -1 : base_.rmdir(p); }
int FaultFs::list(const std::string& dir, std::vector<DirEntry>* out) {
  return trip(kFsRead, dir) ? -1 : base_.list(dir, out);
}
std::optional<std::string> FaultFs::realPath(const std::string& p) {
  return trip(kFsRead, p) ? std::nullopt : base_.realPath(p);
}
int FaultFs::access(const std::string& p, int mode) {
  return trip(kFsRead, p) ? -1 : base_.access(p, mode);
}

int FaultFs::renameNoReplace(const std::string& from, const std::string& to) {
  return trip(kFsWrite, to) ? -1 : moved(base_.renameNoReplace(from, to), from, to, false);
}

int FaultFs::rename(const std::string& from, const std::string& to) {
  if (trip(kFsWrite, to)) return -1;
  struct stat st {};
  std::optional<std::string> old;
  if (base_.lstat(to, &st) == 0 && S_ISREG(st.st_mode)) old = bytesOf(to);
  return moved(base_.rename(from, to), from, to, false, std::move(old));
}

int FaultFs::link(const std::string& from, const std::string& to) {
  return trip(kFsWrite, to) ? -1 : moved(base_.link(from, to), from, to, true);
}

int FaultFs::unlink(const std::string& path) {
  if (trip(kFsWrite, path)) return -1;
  int rc = base_.unlink(path);
  if (rc == 0) {
    std::lock_guard l(lock_);
    synced_.erase(path);
  }
  return rc;
}

int FaultFs::mkdir(const std::string& path, mode_t mode) {
  if (trip(kFsWrite, path)) return -1;
  int rc = base_.mkdir(path, mode);
  if (rc == 0) named(path, "");
  return rc;
}

int FaultFs::clone(const std::string& src, const std::string& dst) {
  if (trip(kFsWrite, dst)) return errno;
  int rc = base_.clone(src, dst);
  if (rc != 0) return rc;
  {
    std::lock_guard l(lock_);
    synced_[dst] = -1;  // a clone's blocks are shared, its new inode is not yet on the medium
  }
  named(dst, "");
  return rc;
}

}  // namespace tolverdine::testing
