#include "engine/copy/copy.h"
#include "engine/copy/copy_group.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/base/worker_pool.h"
#include "engine/copy/block_hasher.h"
#include "engine/copy/medium_read.h"

namespace tolverdine {
namespace {

// The first failing writer of a block stores its failure; later ones of the same block are dropped.
struct ErrBox {
  std::mutex lock;
  std::optional<IOFail> fail;
};

using XxhState = std::unique_ptr<XXH64_state_t, decltype(&XXH64_freeState)>;
using Md5State = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

XxhState newXxh() {
  XxhState s(XXH64_createState(), &XXH64_freeState);
  if (!s || XXH64_reset(s.get(), 0) != XXH_OK) throw IOFail{ENOMEM, std::nullopt};
  return s;
}

Md5State newMd5() {
  Md5State s(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!s || EVP_DigestInit_ex(s.get(), EVP_md5(), nullptr) != 1) throw IOFail{ENOMEM, std::nullopt};
  return s;
}

std::string md5Text(EVP_MD_CTX* ctx) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx, d, &len) != 1) throw IOFail{EIO, std::nullopt};
  return lowerHex(d, len);
}

// Reads the file block by block into two buffers in turn: begin(block, n) starts the work on one
// block, the next block is read meanwhile, then end() waits for that work (and may throw). A read
// failure is thrown once end() has returned, so no work is left running on a buffer.
template <class Begin, class End>
void doubleBuffered(MediumReader& in, char* cur, char* next, Begin begin, End end) {
  size_t n = in.fill(cur, kBlockSize, std::nullopt);
  while (n > 0) {
    begin(cur, n);
    std::optional<IOFail> readFail;
    size_t got = 0;
    try {
      got = in.fill(next, kBlockSize, std::nullopt);
    } catch (const IOFail& f) {
      readFail = f;
    }
    end();
    if (readFail) throw *readFail;
    std::swap(cur, next);
    n = got;
  }
}

}  // namespace

std::string hex64(unsigned long long v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", v);
  return buf;
}

std::string xxh64(const void* data, size_t n) { return hex64(XXH64(data, n, 0)); }

size_t readFull(int fd, void* buf, size_t n, std::optional<int> dest, Fs& fs) {
  char* p = static_cast<char*>(buf);
  size_t got = 0;
  while (got < n) {
    ssize_t r = fs.read(fd, p + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw IOFail{errno, dest};
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

Hashes writeOnce(MediumReader& in, const std::vector<Part>& parts, const std::vector<int>& fds,
                 bool md5, const std::function<void(size_t)>& onRead,
                 const std::function<void(int64_t)>& afterBlock, Fs& fs) {
  struct stat before {};
  if (fs.fstat(in.fd(), &before) != 0) throw IOFail{errno, std::nullopt};

  AlignedBuffer bufA(kBlockSize, kBufferAlign), bufB(kBlockSize, kBufferAlign);
  if (!bufA.data() || !bufB.data()) throw IOFail{ENOMEM, std::nullopt};
  XxhState xxh = newXxh();
  Md5State md(nullptr, &EVP_MD_CTX_free);
  if (md5) md = newMd5();
  ErrBox box;

  // The writes and the hash of one block run on the shared workers while the next block is read.
  // Declared after the buffers, hash states and error box: its jobs end before those are freed.
  BlockHasher hasher(xxh.get(), md.get());
  TaskGroup writers;
  const bool inlineWrites = WorkerPool::onWorker();
  int64_t bytesRead = 0;
  doubleBuffered(
      in, bufA.data(), bufB.data(),
      [&](const char* block, size_t n) {
        if (onRead) onRead(n);
        bytesRead += static_cast<int64_t>(n);
        box.fail.reset();
        for (size_t i = 0; i < fds.size(); ++i) {
          auto write = [&, i, block, n] {
            if (int err = writeAll(fds[i], std::string_view(block, n), fs)) {
              std::lock_guard bl(box.lock);
              if (!box.fail) box.fail = IOFail{err, parts[i].index};
            }
          };
          if (inlineWrites) write();
          else writers.run(write);
        }
        hasher.start(block, n);
      },
      [&] {
        hasher.wait();
        writers.wait();
        // A destination failure wins over a simultaneous source failure.
        if (box.fail) throw *box.fail;
        if (afterBlock) afterBlock(bytesRead);
      });

  // A read that ended early would leave a short copy whose read-back matches it. A file whose
  // size moved meanwhile is left to the caller, who tells a changed card file from a bad read.
  struct stat after {};
  if (fs.fstat(in.fd(), &after) != 0) throw IOFail{errno, std::nullopt};
  if (bytesRead != static_cast<int64_t>(before.st_size) && after.st_size == before.st_size)
    throw IOFail{EIO, std::nullopt};

  Hashes h;
  h.xxh64 = hex64(XXH64_digest(xxh.get()));
  if (md) h.md5 = md5Text(md.get());
  return h;
}

std::vector<UniqueFd> openParts(const std::vector<Part>& parts, Fs& fs) {
  std::vector<UniqueFd> outs;
  outs.reserve(parts.size());
  for (const Part& p : parts) {
    int fd = fs.open(p.path, kPartFlags, 0644);
    if (fd < 0) throw IOFail{errno, p.index};
    outs.emplace_back(fd);
  }
  return outs;
}

Hashes copyOnce(const std::string& src, const std::vector<Part>& parts, const SourceTimes& times,
                bool md5, bool cacheSource, const std::function<void(size_t)>& onRead, Fs& fs) {
  MediumReader in(fs);
  if (int err = in.open(src, cacheSource)) throw IOFail{err, std::nullopt};
  std::vector<UniqueFd> outs = openParts(parts, fs);
  std::vector<int> fds;
  for (const UniqueFd& fd : outs) fds.push_back(fd.get());
  Hashes h = writeOnce(in, parts, fds, md5, onRead, {}, fs);

  // Destinations are usually separate drives: their flushes run side by side.
  std::vector<int> syncErr(fds.size(), 0);
  parallelFor(fds.size(), [&](size_t i) { syncErr[i] = fs.fsync(fds[i]) == 0 ? 0 : errno; });
  for (size_t i = 0; i < parts.size(); ++i)
    if (syncErr[i]) throw IOFail{syncErr[i], parts[i].index};

  const bool keepTimes = times.mtime.tv_sec == 0 && times.mtime.tv_nsec == 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (!keepTimes) {
      timespec ts[2] = {times.atime, times.mtime};
      (void)fs.futimens(fds[i], ts);  // a copy with the wrong time is still a good copy
    }
    dropCached(fds[i], 0, 0, fs);  // flushed above, so the pages are clean and really go
    if (outs[i].reset() != 0) throw IOFail{errno, parts[i].index};
  }
  return h;
}

std::optional<std::string> hashFile(const std::string& path,
                                    const std::function<void(size_t)>& onRead, Fs& fs) {
  MediumReader in(fs);
  if (in.open(path, false) != 0) return std::nullopt;
  // A file smaller than a block is read whole into one buffer of its size: two fresh 16 MiB
  // buffers cost a small file more than its read.
  struct stat st {};
  if (fs.fstat(in.fd(), &st) == 0 && st.st_size < static_cast<off_t>(kBlockSize)) {
    const size_t cap = (static_cast<size_t>(st.st_size) / kBufferAlign + 1) * kBufferAlign;
    AlignedBuffer buf(cap, kBufferAlign);
    if (!buf.data()) return std::nullopt;
    return hashMedium(in, buf.data(), cap, onRead);
  }
  AlignedBuffer bufA(kBlockSize, kBufferAlign), bufB(kBlockSize, kBufferAlign);
  if (!bufA.data() || !bufB.data()) return std::nullopt;
  try {
    XxhState st = newXxh();
    // A direct read has no read-ahead: the next block is read while this one is hashed.
    BlockHasher hasher(st.get(), nullptr);
    doubleBuffered(
        in, bufA.data(), bufB.data(),
        [&](const char* block, size_t n) {
          if (onRead) onRead(n);
          hasher.start(block, n);
        },
        [&] { hasher.wait(); });
    return hex64(XXH64_digest(st.get()));
  } catch (const IOFail&) {
    return std::nullopt;
  }
}

std::optional<std::string> hashMedium(MediumReader& in, char* buf, size_t cap,
                                      const std::function<void(size_t)>& onRead) {
  try {
    XxhState st = newXxh();
    for (;;) {
      const size_t n = in.fill(buf, cap, std::nullopt);
      if (onRead) onRead(n);
      XXH64_update(st.get(), buf, n);
      if (n < cap) return hex64(XXH64_digest(st.get()));
    }
  } catch (const IOFail&) {
    return std::nullopt;
  }
}

std::vector<std::optional<std::string>> hashFiles(const std::vector<std::string>& paths,
                                                  const std::function<void(size_t, size_t)>& onRead,
                                                  Fs& fs) {
  std::vector<std::optional<std::string>> out(paths.size());
  std::mutex outLock;  // guards out; every slot is written by exactly one job
  // A few readers at a time: each holds up to two 16 MiB buffers.
  std::atomic<size_t> next{0};
  parallelFor(std::min<size_t>(paths.size(), 4), [&](size_t) {
    for (size_t i; (i = next.fetch_add(1)) < paths.size();) {
      std::function<void(size_t)> each;
      if (onRead) each = [&, i](size_t n) { onRead(i, n); };
      std::optional<std::string> h = hashFile(paths[i], each, fs);
      std::lock_guard lk(outLock);
      out[i] = std::move(h);
    }
  });
  return out;
}

}  // namespace tolverdine
