#include "engine/copy/followed_copy.h"

#include <fcntl.h>
#include <xxhash.h>

#include <cerrno>
#include <mutex>
#include <optional>

#include "engine/copy/medium_read.h"

namespace tolverdine {

// One part: the job state is touched by one job at a time (busy hands it on under m).
struct FollowedCopy::Follower {
  Follower(size_t slot, Fs& fs) : slot(slot), in(fs) {}
  ~Follower() {
    if (xxh) XXH64_freeState(xxh);
  }
  const size_t slot;
  PendingPart part;  // fd: the write descriptor until the last flush

  std::mutex m;
  int64_t upTo = 0;   // written and handed over
  bool last = false;  // upTo is the whole part
  bool busy = false;  // a job is draining
  int64_t done = 0;   // handed over and flushed (and read back)
  bool closed = false;

  MediumReader in;
  std::unique_ptr<AlignedBuffer> buf;
  XXH64_state_t* xxh = nullptr;
  int64_t pos = 0;  // read back so far
  bool unreadable = false;
};

FollowedCopy::FollowedCopy(bool readBack, std::function<void(size_t, int64_t)> onBack, Fs& fs)
    : readBack_(readBack), onBack_(std::move(onBack)), fs_(fs) {}

FollowedCopy::~FollowedCopy() { stop(); }

void FollowedCopy::stop() {
  stop_ = true;
  jobs_.wait();
}

Hashes FollowedCopy::copy(const std::string& src, const std::vector<Part>& parts,
                          const SourceTimes& times, bool md5, bool cacheSource,
                          const std::function<void(size_t)>& onRead) {
  times_ = times;
  MediumReader in(fs_);
  if (int err = in.open(src, cacheSource)) throw IOFail{err, std::nullopt};
  std::vector<UniqueFd> outs = openParts(parts, fs_);
  std::vector<int> fds;
  for (size_t i = 0; i < parts.size(); ++i) {
    auto f = std::make_unique<Follower>(i, fs_);
    f->part.index = parts[i].index;
    f->part.path = parts[i].path;
    f->part.times = times;
    fds.push_back(outs[i].get());
    f->part.fd = std::move(outs[i]);
    followers_.push_back(std::move(f));
  }
  // The card is asked for 128 MiB ahead, so that it is read on while this thread waits for the
  // writes of a block or for a processor: on a drive that also takes the read-backs, a write can
  // wait long enough that 48 MiB ahead left a 300 MB/s reader idle.
  const off_t ahead = 8 * static_cast<off_t>(kBlockSize);
  if (cacheSource) (void)fs_.fadvise(in.fd(), 0, ahead, POSIX_FADV_WILLNEED);
  int64_t written = 0, handed = 0;
  try {
    Hashes h = writeOnce(
        in, parts, fds, md5, onRead,
        [&](int64_t n) {
          if (cacheSource)
            (void)fs_.fadvise(in.fd(), static_cast<off_t>(n), ahead, POSIX_FADV_WILLNEED);
          written = n;
          if (written - handed < kFollowStretch) return;
          handed = written;
          for (auto& f : followers_) post(*f, written, false);
        },
        fs_);
    for (auto& f : followers_) {
      f->part.size = written;
      post(*f, written, true);
    }
    return h;
  } catch (...) {
    stop();
    throw;
  }
}

std::vector<PendingPart> FollowedCopy::finish() {
  jobs_.wait();
  std::vector<PendingPart> out;
  for (auto& f : followers_) out.push_back(std::move(f->part));
  return out;
}

void FollowedCopy::post(Follower& f, int64_t upTo, bool last) {
  {
    std::lock_guard lk(f.m);
    f.upTo = upTo;
    f.last = f.last || last;
    if (f.busy) return;  // the running job takes the new mark
    f.busy = true;
  }
  jobs_.run([this, &f] { drain(f); });
}

void FollowedCopy::drain(Follower& f) {
  for (;;) {
    int64_t upTo;
    bool last;
    {
      std::lock_guard lk(f.m);
      upTo = f.upTo;
      last = f.last;
      if (stop_ || (upTo == f.done && (!last || f.closed))) {
        f.busy = false;
        return;
      }
    }
    step(f, upTo, last);
    std::lock_guard lk(f.m);
    f.done = upTo;
    f.closed = last;
  }
}

void FollowedCopy::step(Follower& f, int64_t upTo, bool last) {
  PendingPart& p = f.part;
  // Flushed before it is read back: what is read then comes from the medium. Without read-backs
  // only the whole part is flushed.
  if (!p.err && (last || readBack_) && fs_.fsync(p.fd.get()) != 0) p.err = errno;
  if (last) {
    if (!p.err && (times_.mtime.tv_sec != 0 || times_.mtime.tv_nsec != 0)) {
      timespec ts[2] = {times_.atime, times_.mtime};
      (void)fs_.futimens(p.fd.get(), ts);  // a copy with the wrong time is still a good copy
    }
    dropCached(p.fd.get(), 0, 0, fs_);  // flushed, so the pages are clean and really go
    if (p.fd.reset() != 0 && !p.err) p.err = errno;
  }
  if (!p.err && readBack_) readBack(f, upTo, last);
}

void FollowedCopy::readBack(Follower& f, int64_t upTo, bool last) {
  if (f.unreadable) return;
  if (!f.xxh) {
    f.buf = std::make_unique<AlignedBuffer>(kBlockSize, kBufferAlign);
    f.xxh = XXH64_createState();
    if (!f.buf->data() || !f.xxh || f.in.open(f.part.path, /*cached=*/false) != 0) {
      f.unreadable = true;
      return;
    }
    XXH64_reset(f.xxh, 0);
  }
  // Read buffered (no direct I/O here), the pages written meanwhile would answer instead.
  dropCached(f.in.fd(), static_cast<off_t>(f.pos), 0, fs_);
  try {
    while (last || f.pos < upTo) {
      // Stretches end on block bounds, as direct reads need; the last read runs to the end.
      const size_t want =
          last ? kBlockSize : static_cast<size_t>(std::min<int64_t>(kBlockSize, upTo - f.pos));
      const size_t n = f.in.fill(f.buf->data(), want, f.part.index);
      if (n == 0) break;
      XXH64_update(f.xxh, f.buf->data(), n);
      f.pos += static_cast<int64_t>(n);
      if (onBack_) onBack_(f.slot, static_cast<int64_t>(n));
      if (!last && n < want) throw IOFail{EIO, f.part.index};
    }
  } catch (const IOFail&) {
    f.unreadable = true;
    return;
  }
  if (last) {
    if (f.pos == upTo) f.part.back = hex64(XXH64_digest(f.xxh));
    f.buf.reset();
  }
}

}  // namespace tolverdine
