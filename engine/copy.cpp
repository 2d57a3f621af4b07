#include "engine/copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/block_hasher.h"
#include "engine/medium_read.h"

namespace tolverdine {
namespace {

// The first failing writer of a block stores its failure; later ones of the same block are dropped.
struct ErrBox {
  std::mutex lock;
  std::optional<IOFail> fail;
};

int writeAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return EIO;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return 0;
}

// One writer thread per part for the whole copy. Each block is handed to all writers at once and
// awaited before its buffer is reused, so a block costs two condition-variable rounds, no thread
// start and no allocation.
class WriterPool {
 public:
  WriterPool(const std::vector<int>& fds, const std::vector<Part>& parts) : fds_(fds), parts_(parts) {
    syncErr_.assign(fds.size(), 0);
    threads_.reserve(fds.size());
    for (size_t i = 0; i < fds.size(); ++i) {
      try {
        threads_.emplace_back([this, i] { run(i); });
      } catch (const std::system_error& e) {
        shutdown();
        throw IOFail{e.code().value() ? e.code().value() : EAGAIN, parts[i].index};
      }
    }
  }
  ~WriterPool() { shutdown(); }
  WriterPool(const WriterPool&) = delete;
  WriterPool& operator=(const WriterPool&) = delete;

  /// Every writer writes buf[0, n) to its descriptor; failures land in box.
  void start(const char* buf, size_t n, ErrBox* box) { post(Job::write, buf, n, box); }

  void wait() {
    std::unique_lock lk(m_);
    done_.wait(lk, [&] { return pending_ == 0; });
  }

  /// fsyncs every descriptor in parallel (destinations are usually separate drives); errno per
  /// part, 0 where the flush succeeded.
  std::vector<int> syncAll() {
    post(Job::sync, nullptr, 0, nullptr);
    wait();
    return syncErr_;
  }

 private:
  enum class Job { write, sync };

  void post(Job job, const char* buf, size_t n, ErrBox* box) {
    std::lock_guard lk(m_);
    job_ = job;
    buf_ = buf;
    n_ = n;
    box_ = box;
    pending_ = threads_.size();
    ++gen_;
    go_.notify_all();
  }

  void run(size_t i) {
    uint64_t seen = 0;
    for (;;) {
      Job job;
      const char* buf;
      size_t n;
      ErrBox* box;
      {
        std::unique_lock lk(m_);
        go_.wait(lk, [&] { return stop_ || gen_ != seen; });
        if (gen_ == seen) return;  // stopping, nothing left to do
        seen = gen_;
        job = job_;
        buf = buf_;
        n = n_;
        box = box_;
      }
      if (job == Job::write) {
        if (int err = writeAll(fds_[i], buf, n)) {
          std::lock_guard bl(box->lock);
          if (!box->fail) box->fail = IOFail{err, parts_[i].index};
        }
      } else {
        syncErr_[i] = ::fsync(fds_[i]) == 0 ? 0 : errno;
      }
      std::lock_guard lk(m_);
      if (--pending_ == 0) done_.notify_one();
    }
  }

  void shutdown() {
    {
      std::lock_guard lk(m_);
      stop_ = true;
      go_.notify_all();
    }
    for (auto& t : threads_)
      if (t.joinable()) t.join();
  }

  const std::vector<int>& fds_;
  const std::vector<Part>& parts_;
  std::vector<int> syncErr_;  // each slot written by its own writer, read after wait()

  std::mutex m_;
  std::condition_variable go_, done_;
  uint64_t gen_ = 0;
  size_t pending_ = 0;
  bool stop_ = false;
  Job job_ = Job::write;
  const char* buf_ = nullptr;
  size_t n_ = 0;
  ErrBox* box_ = nullptr;

  std::vector<std::thread> threads_;
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
  std::string out;
  char two[3];
  for (unsigned i = 0; i < len; ++i) {
    std::snprintf(two, sizeof two, "%02x", d[i]);
    out += two;
  }
  return out;
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

size_t readFull(int fd, void* buf, size_t n, std::optional<int> dest) {
  char* p = static_cast<char*>(buf);
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, p + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw IOFail{errno, dest};
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

Hashes copyOnce(const std::string& src, const std::vector<Part>& parts, const SourceTimes& times,
                bool md5, bool cacheSource) {
  MediumReader in;
  if (int err = in.open(src, cacheSource)) throw IOFail{err, std::nullopt};

  std::vector<UniqueFd> outs;
  std::vector<int> fds;
  outs.reserve(parts.size());
  for (const Part& p : parts) {
    int fd = ::open(p.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw IOFail{errno, p.index};
    outs.emplace_back(fd);
    fds.push_back(fd);
  }

  AlignedBuffer bufA(kBlockSize, kBufferAlign), bufB(kBlockSize, kBufferAlign);
  if (!bufA.data() || !bufB.data()) throw IOFail{ENOMEM, std::nullopt};
  XxhState xxh = newXxh();
  Md5State md(nullptr, &EVP_MD_CTX_free);
  if (md5) md = newMd5();
  ErrBox box;

  // Declared after the buffers, hash states and error box: their threads are joined before those
  // are freed.
  WriterPool pool(fds, parts);
  std::optional<BlockHasher> hasher;
  try {
    hasher.emplace(xxh.get(), md.get());
  } catch (const std::system_error& e) {
    throw IOFail{e.code().value() ? e.code().value() : EAGAIN, std::nullopt};
  }

  // The writes and the hash of one block run while the next block is read.
  doubleBuffered(
      in, bufA.data(), bufB.data(),
      [&](const char* block, size_t n) {
        box.fail.reset();
        pool.start(block, n, &box);
        hasher->start(block, n);
      },
      [&] {
        hasher->wait();
        pool.wait();
        // A destination failure wins over a simultaneous source failure.
        if (box.fail) throw *box.fail;
      });

  std::vector<int> syncErr = pool.syncAll();
  for (size_t i = 0; i < parts.size(); ++i)
    if (syncErr[i]) throw IOFail{syncErr[i], parts[i].index};

  const bool keepTimes = times.mtime.tv_sec == 0 && times.mtime.tv_nsec == 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (!keepTimes) {
      timespec ts[2] = {times.atime, times.mtime};
      (void)::futimens(fds[i], ts);  // a copy with the wrong time is still a good copy
    }
    dropCached(fds[i]);  // flushed above, so the pages are clean and really go
    if (outs[i].reset() != 0) throw IOFail{errno, parts[i].index};
  }

  Hashes h;
  h.xxh64 = hex64(XXH64_digest(xxh.get()));
  if (md) h.md5 = md5Text(md.get());
  return h;
}

std::optional<std::string> hashFile(const std::string& path) {
  MediumReader in;
  if (in.open(path, false) != 0) return std::nullopt;
  AlignedBuffer bufA(kBlockSize, kBufferAlign), bufB(kBlockSize, kBufferAlign);
  if (!bufA.data() || !bufB.data()) return std::nullopt;
  XXH64_state_t* raw = XXH64_createState();
  if (!raw) return std::nullopt;
  XxhState st(raw, &XXH64_freeState);
  XXH64_reset(raw, 0);
  try {
    // A direct read has no read-ahead: the next block is read while this one is hashed.
    BlockHasher hasher(raw, nullptr);
    doubleBuffered(
        in, bufA.data(), bufB.data(), [&](const char* block, size_t n) { hasher.start(block, n); },
        [&] { hasher.wait(); });
  } catch (const IOFail&) {
    return std::nullopt;
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  return hex64(XXH64_digest(raw));
}

std::vector<std::optional<std::string>> hashFiles(const std::vector<std::string>& paths) {
  std::vector<std::optional<std::string>> out(paths.size());
  if (paths.empty()) return out;
  if (paths.size() == 1) {
    out[0] = hashFile(paths[0]);
    return out;
  }
  size_t nthreads = std::min<size_t>(paths.size(), std::max(1u, std::thread::hardware_concurrency()));
  std::atomic<size_t> nextIndex{0};
  std::mutex outLock;  // guards out; every slot is written by exactly one iteration
  auto work = [&] {
    for (size_t i; (i = nextIndex.fetch_add(1)) < paths.size();) {
      std::optional<std::string> h = hashFile(paths[i]);
      std::lock_guard lk(outLock);
      out[i] = std::move(h);
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(nthreads - 1);
  for (size_t t = 1; t < nthreads; ++t) {
    try {
      pool.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads; the calling thread takes the rest
    }
  }
  work();
  for (auto& t : pool) t.join();
  return out;
}

}  // namespace tolverdine
