#include "engine/copy/ingest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <system_error>
#include <utility>

#include "engine/base/canonical_path.h"
#include "engine/base/files.h"
#include "engine/base/rename.h"
#include "engine/base/system_reason.h"
#include "engine/base/text.h"
#include "engine/base/worker_pool.h"
#include "engine/copy/byte_meter.h"
#include "engine/copy/copy.h"
#include "engine/copy/copy_group.h"
#include "engine/copy/followed_copy.h"
#include "engine/copy/medium_read.h"
#include "engine/copy/preflight.h"
#include "engine/copy/read_ahead.h"
#include "engine/store/copy_presence.h"
#include "engine/store/record_group.h"
#include "engine/store/store.h"
#include "engine/store/verified_counts.h"
#include "os/drives.h"

namespace tolverdine {

namespace {

const char* const kMismatch = "검증 해시 불일치";
const char* const kCardReread = "카드를 다시 읽으니 해시가 다름 — 카드·리더 불량 의심";
const char* const kCardRead = "카드 읽기 오류: ";
const char* const kWrite = "쓰기 오류: ";
const char* const kLost = "목적지 분리됨";
const char* const kOther = "같은 이름의 다른 파일이 이미 있음 — 덮어쓰지 않음";
const char* const kChanged = "복사하는 동안 카드 파일이 바뀜(크기·시간) — 카드를 다시 읽어야 함";
const char* const kNoCompare = "카드를 읽지 못해 이미 있는 파일과 대조하지 못함 — 덮어쓰지 않음";
const char* const kNotAFile = "링크나 폴더 등 일반 파일이 아닌 것이 이미 있음 — 사본으로 세지 않음";
const char* const kCardItself = "카드의 파일 자체(하드 링크)가 있음 — 사본으로 세지 않음";

std::string under(const std::string& root, const std::string& rel) {
  if (!root.empty() && root.back() == '/') return root + rel;
  return root + "/" + rel;
}

// The folder holding a destination root: the mounted drive whose presence is watched.
std::string driveOf(const std::string& root) {
  std::string p = parentPath(root);
  return p.empty() ? "/" : p;
}

// Runs a callable when the scope ends, whichever way it ends.
template <class F> class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() { f_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F f_;
};

// Thrown inside the row walk when the card is gone; caught by the walk, never escapes.
struct CardGone {};

// Small files go through the pipeline in groups of this many files or bytes; towards the end of
// the card the groups shrink, so that little is left to flush and read back after its last byte.
constexpr size_t kGroupFiles = 256;
constexpr int64_t kGroupBytes = int64_t{128} << 20;
constexpr int64_t kLastGroupBytes = int64_t{8} << 20;
// Groups flushed and read back while the card is read on; with a small group's bytes and a large
// file's read-back buffers this bounds what is in flight to about 512 MiB.
constexpr size_t kGroupsInFlight = 4;
// The copies' rows are committed by age alone: each commit first flushes the names of the folders
// renamed into, which on a drive busy with the next groups' writes waits for its journal; a
// commit every 64 rows held the card reader for a third of a second at a time. A crash loses at
// most a second of rows, whose copies the next run finds on the drive and compares in place.
constexpr size_t kRecordRowsUnbounded = size_t{1} << 30;
constexpr std::chrono::milliseconds kRecordAge{1000};
// Over the card's last bytes rows are committed four times as often: the library's search file,
// which the card's end waits for, can only index committed rows, and a last second of rows on a
// card of small files is a tenth of a second of indexing after the last byte.
constexpr int64_t kLastRecordBytes = int64_t{256} << 20;
constexpr std::chrono::milliseconds kLastRecordAge{250};
// Card files asked for ahead of the one being copied.
constexpr size_t kPrefetchFiles = 256;
constexpr int64_t kPrefetchBytes = int64_t{64} << 20;

// A card file's state before its copy, to tell whether it changed while it was copied.
struct SourceStat {
  SourceTimes times;
  int64_t size = 0;
  bool known = false;  // status read; zero times otherwise
};

class Run {
 public:
  Run(const std::vector<Row>& rows, const std::string& src, const std::string& cam,
      const std::vector<std::string>& dests, Store& store, const IngestOptions& options,
      const IngestHooks& hooks, ByteMeter& meter, Fs& fs, Drives& drives)
      : rows_(rows),
        src_(src),
        cam_(cam),
        dests_(dests),
        store_(store),
        records_(store, kRecordRowsUnbounded, kRecordAge),
        options_(options),
        hooks_(hooks),
        meter_(meter),
        fs_(fs),
        drives_(drives) {
    records_.beforeCommit([this] { return flushNames(); });
  }
  ~Run() {
    // Jobs still running on a group's parts finish before the parts go.
    for (auto& g : launched_) g->work.wait();
  }

  dev_t cardDev = 0;
  int64_t startNs = 0;  // temporaries older than this, of processes gone, are crash leftovers
  std::vector<dev_t> destDevs;
  std::set<int> live;
  IngestResult result;
  // Per row and destination, whether the store held a verified copy before the run: where it did
  // not, there is nothing to look up (a copy recorded meanwhile by another run is found on the
  // drive and compared in place).
  std::vector<char> hadRow;

  // One row, steps C2 to C8. Files are only started here (read from the card and written) and
  // finished by a later call (or finish()); in paranoid mode, and under the test seam, large
  // ones are done at once. Throws CardGone.
  void row(const Row& r) {
    if (!r.dest) {
      meter_.done(&r, r.size);
      return;
    }
    // A drive gone since the last row is first learnt from the rows in flight, in card order.
    for (int d : live) {
      if (!driveThere(d)) {
        finish();
        break;
      }
    }
    if (bytesAfter(r) <= kLastRecordBytes) records_.setAge(kLastRecordAge);
    const std::string key = ingestKey(cam_, r);
    std::vector<int> toCopy, unrecorded;
    const size_t at = static_cast<size_t>(&r - rows_.data()) * dests_.size();
    for (int d : live) {
      const std::string& root = dests_[d];
      if ((at + d >= hadRow.size() || hadRow[at + d]) &&
          goodCopyOn(store_, key, root, *r.dest, realStat(fs_), drives_))
        continue;
      // A recorded copy gone or changed is one more file to copy, or to compare in place.
      if (!mayBeThere(d, *r.dest)) toCopy.push_back(d);
      else unrecorded.push_back(d);
    }
    if (toCopy.empty() && unrecorded.empty()) {
      ++result.skipped;
      meter_.done(&r, r.size);
      return;
    }
    auto f = std::make_unique<Flight>(r, key);
    f->list = std::move(toCopy);
    f->unrecorded = std::move(unrecorded);
    if (!f->list.empty() || !f->unrecorded.empty()) {
      f->before = sourceStat(r);
      // The file must still be the one planned: a copy of other bytes under its key would count
      // for a file that is not on the card. A re-run plans the new file under its own key.
      if (f->before.known && !asPlanned(r, f->before)) {
        f->list.insert(f->list.end(), f->unrecorded.begin(), f->unrecorded.end());
        for (int d : f->list) fail(f->st, d, kChanged, 1);
        meter_.done(&r, r.size);
        return;
      }
    }
    if (!f->list.empty()) {
      const bool small = options_.verify != VerifyMode::paranoid &&
                         f->before.size <= int64_t{kBlockSize} && r.size <= int64_t{kBlockSize};
      if (!small && (options_.verify == VerifyMode::paranoid || hooks_.beforeVerify)) {
        // Read from the card twice, or shown to the seam between copy and read-back: on its own,
        // after the rows in flight; its copy may take long, so the records so far are committed.
        finish();
        records_.commit();
        settleFlight(*f, /*copiedInGroup=*/false);
        return;
      }
      if (!small) {
        // A group of its own, whose flushes and read-backs follow its writes; the files before
        // it are flushed and read back meanwhile, and the next is read while it finishes.
        launch();
        startLarge(*f);
        current_.push_back(std::move(f));
        launch();
        records_.commitIfDue();
        return;
      }
      startSmall(*f);
    }
    current_.push_back(std::move(f));
    if (current_.size() >= kGroupFiles || currentBytes_ >= groupBytesAt(r)) launch();
    records_.commitIfDue();
  }

  // Completes every row in flight. Throws CardGone.
  void finish() {
    launch();
    while (!launched_.empty()) settleOldest();
  }

  // After a stop: the rows in flight that need the card no more are still completed; the first
  // that does ends it.
  void finishAfterStop() {
    try {
      finish();
    } catch (const CardGone&) {
    }
    records_.commit();
  }

  void commitRecords() { records_.commit(); }

  // The first card files are asked for while the drives are checked and the folders made: the
  // card reader, the slowest device, starts at once. Only into memory, and only what a run of
  // one read of the card would read anyway.
  void readAheadFromStart() {
    if (options_.verify == VerifyMode::paranoid || readAhead_ || noReadAhead_) return;
    try {
      readAhead_.emplace(rows_, int64_t{kBlockSize}, kPrefetchBytes, kPrefetchFiles, fs_);
    } catch (const std::system_error&) {
      noReadAhead_ = true;  // no thread to be had: the card is only read on demand, slower
    }
  }

  bool cardMounted() const { return present(src_, cardDev, fs_); }
  bool driveThere(int d) const { return present(driveOf(dests_[d]), destDevs[d], fs_); }

 private:
  struct RowState {
    const Row& r;
    std::string key;
    std::optional<Hashes> copyHash;
    bool copied = false;
    bool failed = false;
  };

  // A row in the pipeline: its first copy round written by startSmall, flushed and read back by
  // its group's jobs, settled by settleFlight.
  struct Flight {
    Flight(const Row& r, std::string key) : st{r, std::move(key), std::nullopt} {}
    RowState st;
    std::vector<int> list, unrecorded;
    SourceStat before;
    std::optional<IOFail> failure;  // of the first round
    bool changed = false;           // the card file changed while it was copied
    Hashes hashes;
    std::vector<PendingPart> parts;  // one per entry of list once written
    std::vector<Part> planned;       // the temporaries of the first round, whatever came of it
    std::vector<std::unique_ptr<LiveTemp>> live;  // held while they may be on the drives
    std::unique_ptr<FollowedCopy> follow;         // a large file's flushes and read-backs
  };

  struct Group {
    std::vector<std::unique_ptr<Flight>> flights;
    TaskGroup work;
  };

  std::string target(int d, const Row& r) const { return under(dests_[d], *r.dest); }
  std::string part(int d, const Row& r) {
    const std::string t = target(d, r);
    // Asked of the file system once per folder, not once per file.
    auto [it, fresh] = nameMax_.try_emplace(parentPath(t), 0);
    if (fresh) it->second = folderNameMax(it->first, fs_);
    return partPathFor(t, fs_, it->second);
  }

  void fail(RowState& st, int d, const std::string& why, int round, bool writeRow = true) {
    if (writeRow)
      records_.record(st.key, dests_[d], *st.r.dest, st.r.size, std::nullopt, CopyState::failed,
                      round);
    result.failed.push_back({*st.r.dest, dests_[d], why});
    st.failed = true;
  }

  // A destination is lost once; rows already in flight to it then just leave it.
  void lose(RowState& st, int d, int round) {
    if (!live.count(d)) return;
    live.erase(d);
    result.lostDests.push_back(dests_[d]);
    fail(st, d, kLost, round, /*writeRow=*/false);
  }

  SourceStat sourceStat(const Row& r) {
    struct stat s {};
    if (fs_.stat(r.src, &s) != 0) {
      if (!cardMounted()) throw CardGone{};
      return {};
    }
    return {{s.st_atim, s.st_mtim}, static_cast<int64_t>(s.st_size), true};
  }

  static bool asPlanned(const Row& r, const SourceStat& at) {
    const int64_t mtimeNs =
        static_cast<int64_t>(at.times.mtime.tv_sec) * 1000000000 + at.times.mtime.tv_nsec;
    return at.size == r.size && mtimeNs == r.mtimeNs;
  }

  // The card file after its copy: a failure when it is gone, a change when its size or time moved.
  std::optional<IOFail> checkSource(const Row& r, const SourceStat& before,
                                    std::optional<int64_t> bytesRead, bool& changed) {
    if (!before.known) return std::nullopt;
    struct stat s {};
    if (fs_.stat(r.src, &s) != 0) return IOFail{errno, std::nullopt};
    changed = static_cast<int64_t>(s.st_size) != before.size ||
              s.st_mtim.tv_sec != before.times.mtime.tv_sec ||
              s.st_mtim.tv_nsec != before.times.mtime.tv_nsec ||
              (bytesRead && *bytesRead != before.size);
    return std::nullopt;
  }

  // First round of a small file: read once, written to every part, left for its group to flush.
  // The first round's temporaries of f, one per destination in its list, named and held live,
  // with the stale ones of their folders cleared first. Empty, with the failure set, when one of
  // the drives is gone.
  std::vector<Part> planParts(Flight& f) {
    const Row& r = f.st.r;
    meter_.begin(&r, f.list.size());
    for (int d : f.list) {
      if (!driveThere(d)) {
        f.failure = IOFail{ENOENT, d};
        return {};
      }
    }
    std::vector<Part> parts;
    for (int d : f.list) {
      sweep(target(d, r));
      parts.push_back({d, part(d, r)});
    }
    f.planned = parts;
    for (const Part& p : parts) f.live.push_back(std::make_unique<LiveTemp>(p.path));
    return parts;
  }

  void startSmall(Flight& f) {
    const Row& r = f.st.r;
    prefetchAfter(r);
    std::vector<Part> parts = planParts(f);
    if (f.failure) return;
    if (!smallBuf_) {
      smallBuf_ = std::make_unique<AlignedBuffer>(kBlockSize, kBufferAlign);
      if (!smallBuf_->data()) throw std::bad_alloc();
    }
    try {
      SmallCopy c =
          copySmall(r.src, parts, f.before.times, options_.md5, smallBuf_->data(), kBlockSize,
                    /*cacheSource=*/true, fs_);
      meter_.read(&r, c.bytes);
      f.hashes = c.hashes;
      f.parts = std::move(c.parts);
      currentBytes_ += c.bytes;
      f.failure = checkSource(r, f.before, c.bytes, f.changed);
    } catch (const IOFail& e) {
      f.failure = e;
    }
    if (f.failure && !f.failure->dest && !cardMounted()) throw CardGone{};
    if (!f.failure && !f.changed && hooks_.beforeVerify) {
      // The seam sees the rows one at a time, as the row-by-row path shows them: what it does to
      // the drives happens after the rows before it were verified.
      finish();
      std::vector<std::string> paths;
      for (const auto& p : f.parts) paths.push_back(p.path);
      hooks_.beforeVerify(r, paths);
    }
  }

  // First round of a large file: read once and written to every part, whose flushes and
  // read-backs follow on the workers.
  void startLarge(Flight& f) {
    const Row& r = f.st.r;
    std::vector<Part> parts = planParts(f);
    if (f.failure) return;
    for (const Part& p : parts) mkdirs(parentPath(p.path), fs_);
    ByteMeter& meter = meter_;
    f.follow = std::make_unique<FollowedCopy>(
        options_.verify != VerifyMode::fast,
        [&meter, &r](size_t i, int64_t n) { meter.back(&r, i, n); }, fs_);
    try {
      f.hashes = f.follow->copy(r.src, parts, f.before.times, options_.md5, /*cacheSource=*/true,
                                [&](size_t n) { meter_.read(&r, static_cast<int64_t>(n)); });
      f.failure = checkSource(r, f.before, std::nullopt, f.changed);
    } catch (const IOFail& e) {
      f.failure = e;
    }
    if (f.failure || f.changed) f.follow.reset();
    if (f.failure && !f.failure->dest && !cardMounted()) {
      discard(f);
      throw CardGone{};
    }
  }

  // Hands the current group to the workers: per destination its parts are flushed together,
  // read back (a large file's follow its writes already), and those that match renamed into place
  // there, off the card's thread.
  void launch() {
    if (current_.empty()) return;
    auto g = std::make_unique<Group>();
    g->flights = std::move(current_);
    current_.clear();
    currentBytes_ = 0;
    const bool readBack = options_.verify != VerifyMode::fast;
    // Per destination: each part with its row and its place in the row's list.
    struct Item {
      PendingPart* part;
      const Row* row;
      size_t slot;
      const std::string* hash;  // of the bytes read from the card
    };
    std::map<int, std::vector<Item>> byDest;
    for (auto& f : g->flights) {
      if (f->failure || f->changed || f->follow) continue;
      for (size_t i = 0; i < f->parts.size(); ++i)
        byDest[f->parts[i].index].push_back({&f->parts[i], &f->st.r, i, &f->hashes.xxh64});
    }
    for (auto& [d, items] : byDest) {
      g->work.run([this, d = d, items = std::move(items), readBack] {
        std::vector<PendingPart*> parts;
        for (const Item& it : items) parts.push_back(it.part);
        flushParts(parts, fs_);
        if (readBack)
          readBackParts(
              parts, [&](size_t i, int64_t n) { meter_.back(items[i].row, items[i].slot, n); },
              fs_);
        // Not onto the bare mount point of a drive pulled meanwhile: settle loses it then.
        if (!driveThere(d)) return;
        for (const Item& it : items) {
          PendingPart& p = *it.part;
          if (!p.err && (!readBack || p.back == *it.hash))
            p.moved = renameNoReplace(p.path, target(d, *it.row), fs_);
        }
      });
    }
    launched_.push_back(std::move(g));
    // In card order: the groups done, and the oldest while too many are in flight.
    while (!launched_.empty() && (launched_.size() > kGroupsInFlight || idle(*launched_.front())))
      settleOldest();
  }

  static bool idle(Group& g) {
    if (!g.work.idle()) return false;
    for (const auto& f : g.flights)
      if (f->follow && !f->follow->done()) return false;
    return true;
  }

  // Bytes of the rows after r.
  int64_t bytesAfter(const Row& r) {
    if (after_.empty()) {
      after_.assign(rows_.size() + 1, 0);
      for (size_t i = rows_.size(); i-- > 0;)
        after_[i] = after_[i + 1] + (rows_[i].dest ? rows_[i].size : 0);
    }
    size_t i = static_cast<size_t>(&r - rows_.data());
    return i < rows_.size() ? after_[i + 1] : 0;
  }

  int64_t groupBytesAt(const Row& r) {
    return std::clamp(bytesAfter(r) / 4, kLastGroupBytes, kGroupBytes);
  }

  void settleOldest() {
    std::unique_ptr<Group> g = std::move(launched_.front());
    launched_.pop_front();
    g->work.wait();
    for (size_t i = 0; i < g->flights.size(); ++i) {
      if (auto& follow = g->flights[i]->follow) {
        g->flights[i]->parts = follow->finish();
        follow.reset();
      }
      try {
        settleFlight(*g->flights[i], /*copiedInGroup=*/true);
      } catch (const CardGone&) {
        // The rows after this one stay uncopied, like the row in flight of a stop; their
        // temporaries go.
        for (size_t j = i + 1; j < g->flights.size(); ++j) discard(*g->flights[j]);
        for (auto& later : launched_) {
          later->work.wait();
          for (auto& f : later->flights) discard(*f);
        }
        for (auto& f : current_) discard(*f);
        launched_.clear();
        current_.clear();
        throw;
      }
    }
    records_.commitIfDue();
  }

  void discard(Flight& f) {
    f.follow.reset();  // its flushes and read-backs end before the parts go
    for (const Part& p : f.planned) fs_.unlink(p.path);
  }

  // Steps C5 to C8 for one row; a small file arrives here with its first round done.
  void settleFlight(Flight& f, bool copiedInGroup) {
    RowState& st = f.st;
    const Row& r = st.r;
    try {
      if (!f.list.empty()) {
        std::vector<int> list = f.list;
        int round = 1;
        if (copiedInGroup) {
          if (f.failure || f.changed) {
            list = afterFailure(st, std::move(list), f.failure, f.changed, round, f.planned);
          } else {
            st.copyHash = f.hashes;
            std::vector<std::string> partPaths;
            std::vector<std::optional<std::string>> back;
            std::vector<std::optional<int>> moved;
            std::vector<int> ok;
            for (size_t i = 0; i < list.size(); ++i) {
              const PendingPart& p = f.parts[i];
              if (p.err) {
                destFailure(st, list[i], p.path, p.err, round);
                continue;
              }
              ok.push_back(list[i]);
              partPaths.push_back(p.path);
              back.push_back(options_.verify == VerifyMode::fast
                                 ? std::optional<std::string>(f.hashes.xxh64)
                                 : p.back);
              moved.push_back(p.moved);
            }
            list = settle(st, ok, partPaths, f.hashes, back, round, moved);
          }
          if (!list.empty()) ++round;
        }
        copyRounds(st, std::move(list), round, f.before);
      }
      adoptInPlace(st, f.unrecorded, f.before);
    } catch (const CardGone&) {
      if (st.copied) ++result.copied;  // its recorded copies stay counted
      throw;
    }
    if (st.copied) ++result.copied;
    else if (f.list.empty() && !st.failed) ++result.skipped;
    meter_.done(&r, r.size);
  }

  // A destination that failed to take its part: never retried there.
  void destFailure(RowState& st, int d, const std::string& partPath, int err, int round) {
    fs_.unlink(partPath);
    if (!live.count(d)) return;
    if (!driveThere(d)) lose(st, d, round);
    else fail(st, d, kWrite + systemReason(err), round);
  }

  // Step C6: a failed copy round, whose temporaries are all removed (the next round writes
  // fresh ones). Returns the destinations for the next round.
  std::vector<int> afterFailure(RowState& st, std::vector<int> list,
                                const std::optional<IOFail>& failure, bool changed, int round,
                                const std::vector<Part>& parts) {
    std::optional<std::string> failedPart;
    for (const Part& p : parts) {
      if (failure && failure->dest == p.index) failedPart = p.path;
      else fs_.unlink(p.path);
    }
    if (failure && failure->dest) {
      int d = *failure->dest;
      std::erase(list, d);
      destFailure(st, d, failedPart.value_or(""), failure->err, round);
      return list;
    }
    if (!cardMounted()) throw CardGone{};
    if (round >= 3) {
      std::string why = changed ? std::string(kChanged) : kCardRead + systemReason(failure->err);
      for (int d : list)
        if (live.count(d)) fail(st, d, why, round);
      list.clear();
    }
    return list;
  }

  // Step C5.5: each read-back hash against the copy hash, the rename into place and the record.
  // moved: per part, the rename where the workers did it already. Returns the destinations kept
  // for another round.
  std::vector<int> settle(RowState& st, const std::vector<int>& list,
                          const std::vector<std::string>& partPaths, const Hashes& h,
                          const std::vector<std::optional<std::string>>& back, int round,
                          const std::vector<std::optional<int>>& moved = {}) {
    const Row& r = st.r;
    const CopyState state =
        options_.verify == VerifyMode::fast ? CopyState::copied : CopyState::verified;
    std::vector<int> retry;
    for (size_t i = 0; i < list.size(); ++i) {
      int d = list[i];
      if (!live.count(d)) {
        fs_.unlink(partPaths[i]);
        continue;
      }
      // Pulled after the drive test, the part may have gone to the bare mount point instead.
      if (!driveThere(d)) {
        fs_.unlink(partPaths[i]);
        lose(st, d, round);
        continue;
      }
      const bool same = back[i] && *back[i] == h.xxh64;
      int err = 0;
      if (same)
        err = i < moved.size() && moved[i] ? *moved[i]
                                           : renameNoReplace(partPaths[i], target(d, r), fs_);
      if (same && err == 0) {
        placed(st, d, *r.dest, h, state, round);
      } else if (err == EEXIST) {
        // Someone else made the name meanwhile (another camera's run into this project).
        placeTaken(st, d, partPaths[i], h, state, round);
      } else if (round == 1) {
        fs_.unlink(partPaths[i]);  // the next round writes a fresh temporary
        retry.push_back(d);
      } else {
        fs_.unlink(partPaths[i]);
        fail(st, d, same ? kWrite + systemReason(err) : kMismatch, round);
      }
    }
    return retry;
  }

  // A verified part whose name was taken at the rename: the file there is this copy when it has
  // the same bytes; a still of another camera sends this one to its camera's sub-folder, as the
  // plan does for names taken before; anything else fails, and nothing is overwritten.
  void placeTaken(RowState& st, int d, const std::string& partPath, const Hashes& h,
                  CopyState state, int round) {
    const Row& r = st.r;
    std::string rel = *r.dest;
    for (int step = 0; step < 2; ++step) {
      const std::string there = under(dests_[d], rel);
      struct stat held {};
      if (fs_.lstat(there, &held) == 0 && S_ISREG(held.st_mode) &&
          hashFile(there, {}, fs_) == h.xxh64) {
        fs_.unlink(partPath);
        giveCopyTime(there, r.mtimeNs, fs_);
        placed(st, d, rel, h, state, round);
        return;
      }
      auto other = cameraFolder(r, rel);
      if (step == 1 || !other) break;
      rel = *other;
      const std::string sub = under(dests_[d], rel);
      mkdirs(parentPath(sub), fs_);
      const int moved = renameNoReplace(partPath, sub, fs_);
      if (moved == 0) {
        placed(st, d, rel, h, state, round);
        return;
      }
      if (moved != EEXIST) {
        fs_.unlink(partPath);
        fail(st, d, kWrite + std::string(std::strerror(moved)), round);
        return;
      }
    }
    fs_.unlink(partPath);
    fail(st, d, kOther, round, /*writeRow=*/false);
  }

  // A copy in place at rel (its planned place or a camera's sub-folder), recorded.
  void placed(RowState& st, int d, const std::string& rel, const Hashes& h, CopyState state,
              int round) {
    Row r = st.r;
    r.dest = rel;
    renamedInto_.insert({d, parentPath(under(dests_[d], rel))});
    records_.record(st.key, dests_[d], rel, r.size, h.xxh64, state, round, h.md5, r.view,
                    placeOf(under(dests_[d], rel)));
    st.copied = true;
    if (options_.verify != VerifyMode::fast)
      result.verified[dests_[d]].push_back({r, h.xxh64, h.md5});
    if (state == CopyState::verified && hooks_.verified) hooks_.verified(r, dests_[d], h.xxh64);
  }

  // Steps C5 and C6, one row at a time, from the given round on.
  void copyRounds(RowState& st, std::vector<int> list, int round, const SourceStat& before) {
    const Row& r = st.r;
    while (!list.empty()) {
      meter_.begin(&r, list.size());
      std::vector<Part> parts;
      std::vector<std::string> partPaths;
      std::vector<std::unique_ptr<LiveTemp>> live;
      for (int d : list) {
        parts.push_back({d, part(d, r)});
        live.push_back(std::make_unique<LiveTemp>(parts.back().path));
        partPaths.push_back(parts.back().path);
      }
      Hashes h;
      bool changed = false;
      std::optional<IOFail> failure = writeParts(r, list, parts, before, h, changed);
      if (failure || changed) {
        list = afterFailure(st, std::move(list), failure, changed, round, parts);
        if (!list.empty()) ++round;
        continue;
      }
      st.copyHash = h;
      if (hooks_.beforeVerify) hooks_.beforeVerify(r, partPaths);
      auto back = readBack(r, partPaths, h);
      if (!back) {
        // The card gave other bytes the second time: read once more, then given up.
        if (round == 1) {
          ++round;
          continue;
        }
        for (int d : list) fail(st, d, kCardReread, round);
        break;
      }
      list = settle(st, list, partPaths, h, *back, round);
      if (!list.empty()) ++round;
    }
  }

  // Step C5, one round: the card file read once and written to the part of every destination in
  // list. Returns the round's failure; changed tells that the card file moved meanwhile.
  std::optional<IOFail> writeParts(const Row& r, const std::vector<int>& list,
                                   const std::vector<Part>& parts, const SourceStat& before,
                                   Hashes& h, bool& changed) {
    for (int d : list)
      if (!driveThere(d)) return IOFail{ENOENT, d};
    for (const auto& p : parts) {
      mkdirs(parentPath(p.path), fs_);
      sweep(target(p.index, r));
    }
    try {
      h = copyOnce(
          r.src, parts, before.times, options_.md5, options_.verify != VerifyMode::paranoid,
          [&](size_t n) { meter_.read(&r, static_cast<int64_t>(n)); }, fs_);
      return checkSource(r, before, std::nullopt, changed);
    } catch (const IOFail& f) {
      return f;
    }
  }

  // The parts' hashes as read back (the copy hash itself when the mode reads nothing back). In
  // paranoid mode the card is read a second time first; absent, with the parts removed, when it
  // gave other bytes. Throws CardGone.
  std::optional<std::vector<std::optional<std::string>>> readBack(
      const Row& r, const std::vector<std::string>& partPaths, const Hashes& h) {
    if (options_.verify == VerifyMode::fast)
      return std::vector<std::optional<std::string>>(partPaths.size(), h.xxh64);
    if (options_.verify == VerifyMode::paranoid) {
      auto again = hashFile(r.src, {}, fs_);
      if (!again || *again != h.xxh64) {
        for (const auto& p : partPaths) fs_.unlink(p);
        if (!cardMounted()) throw CardGone{};
        return std::nullopt;
      }
    }
    return hashFiles(
        partPaths, [&](size_t i, size_t n) { meter_.back(&r, i, static_cast<int64_t>(n)); }, fs_);
  }

  // Step C7: files at the target without a verified record are compared, never replaced. Only a
  // regular file of its own counts: never a link, nor the card's own file under another name.
  void adoptInPlace(RowState& st, const std::vector<int>& unrecorded, const SourceStat& before) {
    const Row& r = st.r;
    std::vector<int> toSub;
    std::optional<std::string> srcHash;
    if (st.copyHash) srcHash = st.copyHash->xxh64;
    for (int d : unrecorded) {
      // A drive lost during this row's copies is not compared: its file cannot be read.
      if (!live.count(d)) continue;
      const std::string path = target(d, r);
      struct stat there {
      }, card{};
      if (fs_.lstat(path, &there) != 0 || !S_ISREG(there.st_mode)) {
        fail(st, d, kNotAFile, 0, /*writeRow=*/false);
        continue;
      }
      if (fs_.stat(r.src, &card) == 0 && card.st_dev == there.st_dev &&
          card.st_ino == there.st_ino) {
        fail(st, d, kCardItself, 0, /*writeRow=*/false);
        continue;
      }
      if (!srcHash) srcHash = hashFile(r.src, {}, fs_);
      if (!srcHash) {
        if (!cardMounted()) throw CardGone{};
        fail(st, d, kNoCompare, 0, /*writeRow=*/false);
        continue;
      }
      auto hash = hashFile(path, {}, fs_);
      // Read what was examined: a file swapped for a link meanwhile is not adopted.
      struct stat after {};
      const bool sameFile = fs_.lstat(path, &after) == 0 && S_ISREG(after.st_mode) &&
                            after.st_dev == there.st_dev && after.st_ino == there.st_ino;
      if (hash && sameFile && *hash != *srcHash && cameraFolder(r, *r.dest)) {
        toSub.push_back(d);  // another camera's still under this name
        continue;
      }
      if (!hash || *hash != *srcHash || !sameFile) {
        fail(st, d, kOther, 0, /*writeRow=*/false);
        continue;
      }
      // Same content: give it the card file's time, so later counts find the copy unchanged.
      giveCopyTime(path, r.mtimeNs, fs_);
      renamedInto_.insert({d, parentPath(path)});  // an earlier run may not have flushed it
      records_.record(st.key, dests_[d], *r.dest, r.size, *srcHash, CopyState::verified, 0,
                      std::nullopt, r.view, placeOf(path));
      result.verified[dests_[d]].push_back({r, *srcHash, std::nullopt});
      if (hooks_.verified) hooks_.verified(r, dests_[d], *srcHash);
    }
    if (!toSub.empty()) copyToCameraFolder(st, toSub, before);
  }

  // Where a still at rel goes when another camera's still holds the name: its own camera's
  // sub-folder there. Absent for anything but a still, or a still in that sub-folder already.
  std::optional<std::string> cameraFolder(const Row& r, const std::string& rel) const {
    if (r.kind != Kind::photo || lastComponent(parentPath(rel)) == cam_) return std::nullopt;
    return join(parentPath(rel), cam_, lastComponent(rel));
  }

  // A still whose place another camera's still took (another run into this project, after this
  // card was planned) goes to its own camera's sub-folder, as the plan does for names taken
  // before it.
  void copyToCameraFolder(RowState& st, const std::vector<int>& list, const SourceStat& before) {
    Row moved = st.r;
    moved.dest = cameraFolder(st.r, *st.r.dest);
    RowState sub{moved, st.key, std::nullopt};
    for (int d : list) {
      const std::string there = under(dests_[d], *moved.dest);
      if (goodCopyOn(store_, st.key, dests_[d], *moved.dest, realStat(fs_), drives_)) continue;
      if (exists(there, fs_)) {
        fail(st, d, kOther, 0, /*writeRow=*/false);
        continue;
      }
      copyRounds(sub, {d}, 1, before);
    }
    meter_.done(&moved, 0);
    st.copied = st.copied || sub.copied;
    st.failed = st.failed || sub.failed;
  }

  // Whether a file may be at rel on d already. A folder that was not there when the run first
  // looked for it holds nothing from before the run, so its files are not looked up one by one
  // (tens of thousands of lookups on a long card); a name another run makes there meanwhile is
  // met at the rename, which never replaces it.
  bool mayBeThere(int d, const std::string& rel) {
    const std::string path = under(dests_[d], rel);
    auto [it, first] = folderWasMissing_.try_emplace({d, parentPath(path)}, false);
    if (first) {
      struct stat st {};
      it->second = fs_.lstat(it->first.second, &st) != 0 && errno == ENOENT;
    }
    return !it->second && exists(path, fs_);
  }

  // Where a copy just put in place is: its drive and inode, as the count will judge it.
  std::optional<DriveFile> placeOf(const std::string& path) {
    return driveFileOf(path, drives_, fs_);
  }

  void sweep(const std::string& target) {
    if (!sweeper_) sweeper_.emplace(startNs, fs_);
    sweeper_->before(target);
  }

  // The folders renamed into since the last commit, flushed before the rows that count their
  // copies: a power cut must not keep a verified row and lose the name. One flush per folder.
  bool flushNames() {
    bool ok = true;
    for (const auto& [d, dir] : renamedInto_) {
      if (int err = syncFolder(dir, fs_)) {
        ok = false;
        if (!live.count(d)) continue;  // lost already, and said so
        const std::string& root = dests_[d];
        const std::string rel = dir.size() > root.size() ? dir.substr(root.size() + 1) : dir;
        if (driveThere(d)) {
          result.failed.push_back({rel, root, kWrite + std::string(std::strerror(err))});
          continue;
        }
        live.erase(d);
        result.lostDests.push_back(root);
        result.failed.push_back({rel, root, kLost});
      }
    }
    renamedInto_.clear();
    return ok;
  }

  // The card files after this one are asked for, so their reads overlap this one's writes.
  void prefetchAfter(const Row& r) {
    size_t i = static_cast<size_t>(&r - rows_.data());
    if (i >= rows_.size()) return;  // not one of the run's rows
    readAheadFromStart();
    if (readAhead_) readAhead_->at(i);
  }

  const std::vector<Row>& rows_;
  std::map<std::string, long> nameMax_;
  const std::string& src_;
  const std::string& cam_;
  const std::vector<std::string>& dests_;
  Store& store_;
  std::set<std::pair<int, std::string>> renamedInto_;  // before records_, whose end commits
  RecordGroup records_;
  const IngestOptions& options_;
  const IngestHooks& hooks_;
  ByteMeter& meter_;
  Fs& fs_;
  Drives& drives_;
  std::unique_ptr<AlignedBuffer> smallBuf_;
  std::vector<std::unique_ptr<Flight>> current_;  // started, not yet handed to the workers
  int64_t currentBytes_ = 0;
  std::deque<std::unique_ptr<Group>> launched_;  // handed to the workers, oldest first
  std::vector<int64_t> after_;                   // bytes of the rows from each on
  std::optional<PartSweeper> sweeper_;
  std::map<std::pair<int, std::string>, bool> folderWasMissing_;  // by destination and folder
  std::optional<ReadAhead> readAhead_;                            // started before the first row
  bool noReadAhead_ = false;
};

}  // namespace

IngestResult runIngest(const std::vector<Row>& rows, const std::string& src, const std::string& cam,
                       const std::vector<std::string>& dests, const NameSet& names, Store& store,
                       int copiesRequired, const IngestOptions& options, const FreeBytesFn& free,
                       const ProgressFn& progress, SleepGuard* sleep, const IngestHooks& hooks,
                       const BytesFn& bytes) {
  const int64_t startNs = wallClockNs();
  int64_t total = 0;
  for (const auto& r : rows) total += r.size;
  ByteMeter meter(bytes, total);
  Fs& fs = options.fs ? *options.fs : realFs();
  std::unique_ptr<Drives> drives = systemDrives();
  Run run(rows, src, cam, dests, store, options, hooks, meter, fs, *drives);

  // A: checks before anything is written.
  requireSeparateFolders(dests);
  auto card = devOf(src, fs);
  if (!card) throw IngestStop::cardRemoved();
  run.cardDev = *card;
  run.startNs = startNs;
  run.readAheadFromStart();
  // Never the card: formatting it would take such a copy with it.
  const std::optional<std::string> cardDriveId = cardDrive(src, *drives, fs);
  for (const auto& root : dests) {
    // The project folder inside the card (a destination in the card folder) or around it.
    if (sameOrNested(root, src)) throw IngestStop::onCard(driveOf(root), false);
    const std::string near = nearestExisting(root, fs);
    auto dev = devOf(near, fs);
    if (!dev) continue;
    const std::string id = drives->idOf(*dev);
    if (cardDriveId && id == *cardDriveId) throw IngestStop::onCard(driveOf(root), true);
    // A drive on no disk this computer knows (FUSE, a network share) may be the card itself.
    const Backing on = drives->backingOf(id);
    if (on.disks.empty() && !on.memory && reachesCard(near, src, fs))
      throw IngestStop::onCard(driveOf(root), true);
  }
  for (const auto& root : dests) {
    std::string drive = driveOf(root);
    auto dev = devOf(drive, fs);
    if (!dev) throw IngestStop::destMissing(drive);
    run.destDevs.push_back(*dev);
  }
  // A read-only or locked drive would otherwise fail every file, after the whole card went to
  // the others; the probe lands in the project folder, or the nearest folder above it that exists.
  for (const auto& root : dests) {
    if (int err = probeWrite(nearestExisting(root, fs), fs))
      throw IngestStop::unwritable(driveOf(root), err);
  }
  std::vector<std::string> problems;
  for (const auto& root : dests) {
    for (const auto& line : planProblems(rows, root, fs))
      problems.push_back(lastComponent(root) + ": " + line);
  }
  if (!problems.empty()) throw IngestStop::conflicts(std::move(problems));
  run.hadRow.assign(rows.size() * dests.size(), 0);
  for (size_t d = 0; d < dests.size(); ++d) {
    const std::string& root = dests[d];
    ReadSnapshot together(store);
    int64_t need = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
      if (store.verifiedHash(ingestKey(cam, rows[i]), root)) run.hadRow[i * dests.size() + d] = 1;
      else need += rows[i].size;
    }
    int64_t have = free ? free(root) : 0;
    if (marginShort(need, have)) throw IngestStop::noSpace(root, need, have);
  }

  // B: folders, locks, sleep guard. Everything taken here is let go on every way out.
  std::vector<std::string> locks;
  bool holding = false;
  ScopeExit release([&] {
    if (holding && sleep) sleep->release();
    for (const auto& l : locks) fs.unlink(l);
  });
  for (const auto& root : dests) {
    for (const auto& top : names.topFolders()) mkdirs(under(root, top), fs);
    locks.push_back(takeLock(under(root, names.reports), cam, fs));  // throws locked; guard unlinks
    // Reports a crash cut short before they took their names.
    removeStaleTemps(under(root, names.reports), startNs, fs);
  }
  if (sleep) {
    sleep->hold("TOLVERDINE 복사 중");
    holding = true;
  }
  for (int d = 0; d < static_cast<int>(dests.size()); ++d) run.live.insert(d);

  // C: the rows in card order.
  const int count = static_cast<int>(rows.size());
  int64_t done = 0;
  try {
    for (int i = 0; i < count; ++i) {
      const Row& r = rows[i];
      if (progress) progress(i + 1, count, lastComponent(r.src), done, total);
      run.row(r);
      done += r.size;
    }
    run.finish();
  } catch (const CardGone&) {
    run.finishAfterStop();
    run.result.stopped = IngestStop::cardRemoved();
  }
  run.commitRecords();
  if (hooks.copied) hooks.copied(run.result);

  // D: completion.
  if (progress) progress(count, count, "", total, total);
  IngestResult& res = run.result;
  std::vector<std::string> keys;
  keys.reserve(rows.size());
  for (const auto& r : rows) keys.push_back(ingestKey(cam, r));
  res.copiesCounted = verifiedCounts(store, keys, cardDriveId);
  res.underCopied =
      static_cast<int>(std::count_if(res.copiesCounted.begin(), res.copiesCounted.end(),
                                     [&](int n) { return n < copiesRequired; }));
  res.color = verdictColor(res, rows);
  return std::move(res);
}

CardColor verdictColor(const IngestResult& r, const std::vector<Row>& rows) {
  const bool nothing = std::none_of(rows.begin(), rows.end(), [](const Row& x) { return x.dest; });
  if (r.stopped || !r.failed.empty()) return CardColor::red;
  if (nothing) return CardColor::gray;  // nothing read decides nothing
  if (r.underCopied > 0) return CardColor::yellow;
  return CardColor::green;
}

std::vector<std::string> resultLog(const IngestResult& r, const std::string& card,
                                   const std::string& cam, double seconds, int64_t bytes) {
  std::vector<std::string> lines;
  std::string first = "결과: " + card + " · " + cam + " · " + colorText(r.color) + " · 복사 " +
                      std::to_string(r.copied) + " 기존 " + std::to_string(r.skipped) + " 실패 " +
                      std::to_string(r.failed.size()) + " 사본부족 " +
                      std::to_string(r.underCopied) + " · " +
                      std::to_string(static_cast<long long>(seconds)) + "초";
  if (seconds > 0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, " · %.0f MB/s", static_cast<double>(bytes) / seconds / 1e6);
    first += buf;
  }
  lines.push_back(std::move(first));
  if (r.stopped) lines.push_back("멈춤 원인: " + card + " · " + r.stopped->description());
  for (const auto& d : r.lostDests) lines.push_back("목적지 분리: " + d);
  for (size_t i = 0; i < r.failed.size() && i < 20; ++i) {
    const auto& f = r.failed[i];
    lines.push_back("실패: " + f.rel + " → " + f.dest + " · " + f.why);
  }
  if (r.failed.size() > 20)
    lines.push_back("실패 " + std::to_string(r.failed.size() - 20) + "개 더 — 리포트 CSV 참고");
  return lines;
}

}  // namespace tolverdine
