#include "engine/copy/copy_group.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <openssl/evp.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/base/worker_pool.h"
#include "engine/copy/medium_read.h"

namespace tolverdine {
namespace {
// Up to this size a file is written to every destination on the reading thread.
constexpr size_t kInlineWrite = size_t{256} << 10;
// A read-back reads most stills whole at once (and asks for little more than the file holds).
constexpr size_t kReadBackBuffer = size_t{4} << 20;

int openPart(const std::string& path, Fs& fs) {
  int fd = fs.open(path, kPartFlags, 0644);
  if (fd < 0 && errno == ENOENT) {
    mkdirs(parentPath(path), fs);
    fd = fs.open(path, kPartFlags, 0644);
  }
  return fd;
}

// The pid of a temporary of ours: "<name>.<pid>-<8 hex>.part" or ".tolverdine-<pid>-<8 hex>.part";
// absent for any other name.
std::optional<pid_t> partPid(std::string_view name) {
  constexpr std::string_view kSuffix = ".part", kShort = ".tolverdine-";
  if (!name.ends_with(kSuffix)) return std::nullopt;
  std::string_view stem = name.substr(0, name.size() - kSuffix.size());
  const size_t dash = stem.rfind('-');
  if (dash == std::string_view::npos || stem.size() - dash != 9) return std::nullopt;
  for (char c : stem.substr(dash + 1))
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
  stem = stem.substr(0, dash);
  size_t from;
  if (stem.starts_with(kShort)) {
    from = kShort.size();
  } else {
    const size_t dot = stem.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    from = dot + 1;
  }
  std::string_view digits = stem.substr(from);
  if (digits.empty() || digits.size() > 9) return std::nullopt;
  pid_t pid = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

std::string md5Of(const char* p, size_t n) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(p, n, d, &len, EVP_md5(), nullptr) != 1) throw IOFail{ENOMEM, std::nullopt};
  return lowerHex(d, len);
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
  // The destinations are written side by side while the bytes are hashed here; a file of a few
  // pages is written here in turn, since handing it to a worker costs more than its writes.
  std::vector<int> err(parts.size(), 0);
  TaskGroup writers;
  for (size_t i = 1; i < parts.size(); ++i) {
    auto write = [&, i] { err[i] = writeAll(c.parts[i].fd.get(), std::string_view(buf, n), fs); };
    if (n < kInlineWrite) write();
    else writers.run(write);
  }
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
  AlignedBuffer buf(kReadBackBuffer, kBufferAlign);
  if (!buf.data()) return;  // nothing read back: each part counts as not matching
  for (size_t i = 0; i < parts.size(); ++i) {
    PendingPart* p = parts[i];
    if (p->err) continue;
    MediumReader in(fs);
    if (in.open(p->path, /*cached=*/false) != 0) continue;
    p->back = hashMedium(in, buf.data(), buf.size());
    if (onRead) onRead(i, p->size);
  }
}

void prefetch(const std::string& path, Fs& fs) {
  UniqueFd fd(fs.open(path, O_RDONLY));
  if (fd) (void)fs.fadvise(fd.get(), 0, 0, POSIX_FADV_WILLNEED);
}

int removeStaleParts(const std::string& folder, int64_t beforeNs, Fs& fs) {
  std::vector<DirEntry> entries;
  if (fs.list(folder, &entries) != 0) return 0;
  return removeStaleParts(folder, entries, beforeNs, fs);
}

int removeStaleParts(const std::string& folder, const std::vector<DirEntry>& entries,
                     int64_t beforeNs, Fs& fs) {
  int removed = 0;
  for (const auto& e : entries) {
    std::string_view name = e.name;
    // ".tolverdine-<16 hex>.part": the short temporary of builds before unique names.
    const bool older = name.starts_with(".tolverdine-") && name.size() == 33 &&
                       name.ends_with(".part") && partPid(name) == std::nullopt;
    auto pid = partPid(name);
    if (!pid && !older) continue;
    const std::string path = folder + "/" + e.name;
    struct stat st {};
    if (fs.lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec >= beforeNs) continue;
    // Another job of this process, or another process of this computer, may be writing it still
    // (EPERM: alive, another user's).
    if (pid && (*pid == ::getpid() ? isLive(path) : ::kill(*pid, 0) == 0 || errno == EPERM))
      continue;
    if (fs.unlink(path) == 0) ++removed;
  }
  return removed;
}

void PartSweeper::before(const std::string& target) {
  const std::string folder = parentPath(target);
  if (swept_.insert(folder).second) {
    // The old builds' temporaries are looked for in the same listing, not one lookup per copy.
    // A folder that cannot be listed is asked about each target.
    std::vector<DirEntry> entries;
    if (fs_.list(folder, &entries) != 0) {
      if (errno != ENOENT) unlisted_.insert(folder);
    } else {
      removeStaleParts(folder, entries, startNs_, fs_);
      for (const auto& e : entries)
        if (e.name.ends_with(".part")) oldParts_.insert(folder + "/" + e.name);
    }
  }
  struct stat st {};
  const std::string old = target + ".part";
  if ((oldParts_.count(old) || unlisted_.count(folder)) && fs_.lstat(old, &st) == 0 &&
      S_ISREG(st.st_mode) &&
      int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec < startNs_)
    fs_.unlink(old);
}

long folderNameMax(const std::string& folder, Fs& fs) {
  long max = -1;
  for (std::string f = folder.empty() ? "/" : folder;; f = parentPath(f)) {
    max = fs.nameMax(f);
    if (max > 0 || f.empty() || f == "/") break;
  }
  return max > 0 ? max : 255;
}

std::string partPathFor(const std::string& target, Fs& fs, long nameMax) {
  const std::string name = lastComponent(target);
  std::string folder = parentPath(target);
  const long max = nameMax > 0 ? nameMax : folderNameMax(folder, fs);
  // Unique per run and file: a run that meets another on one drive never writes into its part.
  // Seeded from the system once per thread: opening the random device for every file cost
  // more than the rest of naming it.
  thread_local std::mt19937 random{std::random_device{}()};
  char unique[40];
  std::snprintf(unique, sizeof unique, "%d-%08x", static_cast<int>(::getpid()),
                static_cast<unsigned>(random()));
  const std::string suffix = std::string(".") + unique + ".part";
  if (name.size() + suffix.size() <= static_cast<size_t>(max)) return target + suffix;
  return (folder.empty() ? std::string() : folder + "/") + ".tolverdine" + suffix;
}

}  // namespace tolverdine
