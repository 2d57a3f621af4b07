// A large file's copy whose parts are flushed and read back from the medium behind its writes, so
// that reading the card never waits for a flush or a read-back.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/worker_pool.h"
#include "engine/copy/copy.h"
#include "engine/copy/copy_group.h"
#include "os/fs.h"

namespace tolverdine {

/// Bytes written to every part before they are handed to the part's flush and read-back.
inline constexpr int64_t kFollowStretch = int64_t{2} * kBlockSize;

class FollowedCopy {
 public:
  /// readBack false: the parts are only flushed. onBack hears (position in parts, bytes) for every
  /// stretch read back, from the workers' threads.
  FollowedCopy(bool readBack, std::function<void(size_t, int64_t)> onBack, Fs& fs = realFs());
  /// Stops the flushes and read-backs not yet begun and waits for those running.
  ~FollowedCopy();
  FollowedCopy(const FollowedCopy&) = delete;
  FollowedCopy& operator=(const FollowedCopy&) = delete;

  /// Reads src once and writes every block to every part (created, 0644), as copyOnce does. On
  /// the workers, one job at a time for each part, what was written is flushed (fsync) and then
  /// read back from the medium; after the last block each part is flushed whole, given the source
  /// times and closed, and its rest read back. Returns once the source is read and written.
  /// Throws IOFail, with the flushes stopped and the parts left as they are.
  Hashes copy(const std::string& src, const std::vector<Part>& parts, const SourceTimes& times,
              bool md5, bool cacheSource, const std::function<void(size_t)>& onRead = {});

  /// Waits for the flushes and read-backs: then every part has its err (flush or close) and back
  /// (the XXH64 of all its bytes read back; absent when not read back or unreadable).
  std::vector<PendingPart> finish();
  /// True once finish() would not wait (after copy returned).
  bool done() { return jobs_.idle(); }

 private:
  struct Follower;
  void post(Follower& f, int64_t upTo, bool last);
  void drain(Follower& f);
  void step(Follower& f, int64_t upTo, bool last);
  void readBack(Follower& f, int64_t upTo, bool last);
  void stop();

  const bool readBack_;
  const std::function<void(size_t, int64_t)> onBack_;
  Fs& fs_;
  SourceTimes times_;
  std::atomic<bool> stop_{false};
  std::vector<std::unique_ptr<Follower>> followers_;
  TaskGroup jobs_;  // last: waited for before the followers go
};

}  // namespace tolverdine
