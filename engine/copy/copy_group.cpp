#include "engine/copy/copy_group.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <vector>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/base/worker_pool.h"
#include "engine/copy/medium_read.h"

namespace tolverdine {
namespace {

int openPart(const std::string& path, Fs& fs) {
  int fd = fs.open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 && errno == ENOENT) {
    mkdirs(parentPath(path), fs);
    fd = fs.open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  return fd;
}

std::string md5Of(const char* p, size_t n) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(p, n, d, &len, EVP_md5(), nullptr) != 1) throw IOFail{ENOMEM, std::nullopt};
  return lowerHex(d, len);
}

// Hash of a file whose pages were just dropped: the reads go to the drive.
std::optional<std::string> hashUncached(int fd, std::vector<char>& buf, Fs& fs) {
  XXH64_state_t* st = XXH64_createState();
  if (!st) return std::nullopt;
  XXH64_reset(st, 0);
  std::optional<std::string> out;
  for (;;) {
    ssize_t r = fs.read(fd, buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    if (r == 0) {
      out = hex64(XXH64_digest(st));
      break;
    }
    XXH64_update(st, buf.data(), static_cast<size_t>(r));
  }
  XXH64_freeState(st);
  dropCached(fd, 0, 0, fs);  // the read-back leaves nothing behind in memory
  return out;
}

}  // namespace

SmallCopy copySmall(const std::string& src, const std::vector<Part>& parts,
                    const SourceTimes& times, bool md5, char* buf, size_t cap, bool cacheSource,
                    Fs& fs) {
  MediumReader in(fs);
  if (int err = in.open(src, cacheSource)) throw IOFail{err, std::nullopt};
  SmallCopy c;
  const size_t n = in.fill(buf, cap, std::nullopt);
  c.bytes = static_cast<int64_t>(n);
  c.parts.resize(parts.size());
  for (size_t i = 0; i < parts.size(); ++i) {
    PendingPart& p = c.parts[i];
    p.index = parts[i].index;
    p.path = parts[i].path;
    p.size = c.bytes;
    p.times = times;
    int fd = openPart(p.path, fs);
    if (fd < 0) throw IOFail{errno, p.index};
    p.fd.reset(fd);
  }
  // The destinations are written side by side while the bytes are hashed here.
  std::vector<int> err(parts.size(), 0);
  TaskGroup writers;
  for (size_t i = 1; i < parts.size(); ++i)
    writers.run([&, i] { err[i] = writeAll(c.parts[i].fd.get(), std::string_view(buf, n), fs); });
  if (!parts.empty()) err[0] = writeAll(c.parts[0].fd.get(), std::string_view(buf, n), fs);
  c.hashes.xxh64 = hex64(XXH64(buf, n, 0));
  if (md5) c.hashes.md5 = md5Of(buf, n);
  writers.wait();
  for (size_t i = 0; i < parts.size(); ++i)
    if (err[i]) throw IOFail{err[i], parts[i].index};
  // Given their times and closed now: a group holds no descriptors while it waits for its sync.
  const bool setTimes = times.mtime.tv_sec != 0 || times.mtime.tv_nsec != 0;
  for (PendingPart& p : c.parts) {
    if (setTimes) {
      timespec ts[2] = {times.atime, times.mtime};
      (void)fs.futimens(p.fd.get(), ts);  // a copy with the wrong time is still a good copy
    }
    if (p.fd.reset() != 0) throw IOFail{errno, p.index};
  }
  return c;
}

void flushParts(const std::vector<PendingPart*>& parts, Fs& fs) {
  // One sync of the destination's file system for the whole group: one journal commit and one
  // cache flush of the drive instead of one for each file. The sync reports any write-back error
  // on that file system since it was opened here, and fails every part of the group then; the
  // read-back catches whatever went wrong anyway.
  if (parts.empty()) return;
  int err = 0;
  UniqueFd any;
  for (PendingPart* p : parts) {  // any part opens the file system (one may be gone)
    any.reset(fs.open(p->path, O_RDONLY));
    if (any) break;
    err = errno;
  }
  if (any) err = fs.syncfs(any.get()) == 0 ? 0 : errno;
  for (PendingPart* p : parts)
    if (err) p->err = err;
}

void readBackParts(const std::vector<PendingPart*>& parts,
                   const std::function<void(size_t, int64_t)>& onRead, Fs& fs) {
  std::vector<UniqueFd> fds(parts.size());
  std::vector<bool> direct(parts.size(), false);
  for (size_t i = 0; i < parts.size(); ++i) {
    PendingPart* p = parts[i];
    if (p->err) continue;
    int fd = fs.open(p->path, O_RDONLY);
    if (fd < 0) continue;
    fds[i].reset(fd);
    dropCached(fd, 0, 0, fs);
    // A page the drop could not take would answer from memory: such a file is read direct.
    struct stat st {};
    direct[i] =
        fs.fstat(fd, &st) != 0 || fs.anyCached(fd, st.st_size) != 0;  // cannot tell: read direct
    if (!direct[i]) (void)fs.fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
  }
  std::vector<char> buf(1u << 20);
  for (size_t i = 0; i < parts.size(); ++i) {
    PendingPart* p = parts[i];
    if (!fds[i]) continue;
    if (direct[i]) {
      fds[i].reset();
      p->back = hashFile(p->path, {}, fs);
    } else {
      p->back = hashUncached(fds[i].get(), buf, fs);
    }
    if (onRead) onRead(i, p->size);
  }
}

void prefetch(const std::string& path, Fs& fs) {
  UniqueFd fd(fs.open(path, O_RDONLY));
  if (fd) (void)fs.fadvise(fd.get(), 0, 0, POSIX_FADV_WILLNEED);
}

std::string partPathFor(const std::string& target, Fs& fs) {
  const std::string name = lastComponent(target);
  std::string folder = parentPath(target);
  // The folder may not exist yet: its nearest existing ancestor is on the same file system.
  long max = -1;
  for (std::string f = folder.empty() ? "/" : folder;; f = parentPath(f)) {
    max = fs.nameMax(f);
    if (max > 0 || f.empty() || f == "/") break;
  }
  if (max <= 0) max = 255;
  if (name.size() + 5 <= static_cast<size_t>(max)) return target + ".part";
  return (folder.empty() ? std::string() : folder + "/") + ".tolverdine-" +
         hex64(XXH64(name.data(), name.size(), 0)) + ".part";
}

}  // namespace tolverdine
