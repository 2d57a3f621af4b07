#include "engine/ingest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "engine/copy.h"
#include "engine/files.h"
#include "engine/preflight.h"
#include "engine/rename.h"
#include "engine/store.h"
#include "engine/text.h"

namespace tolverdine {

namespace {

const char* const kMismatch = "검증 해시 불일치";
const char* const kCardReread = "카드를 다시 읽으니 해시가 다름 — 카드·리더 불량 의심";
const char* const kCardRead = "카드 읽기 오류: ";
const char* const kWrite = "쓰기 오류: ";
const char* const kLost = "목적지 분리됨";
const char* const kOther = "같은 이름의 다른 파일이 이미 있음 — 덮어쓰지 않음";
const char* const kNoCompare = "카드를 읽지 못해 이미 있는 파일과 대조하지 못함 — 덮어쓰지 않음";

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
template <class F>
class ScopeExit {
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

class Run {
 public:
  Run(const std::vector<Row>& rows, const std::string& src, const std::string& cam,
      const std::vector<std::string>& dests, Store& store, const IngestOptions& options,
      const IngestHooks& hooks)
      : rows_(rows), src_(src), cam_(cam), dests_(dests), store_(store), options_(options),
        hooks_(hooks) {}

  dev_t cardDev = 0;
  std::vector<dev_t> destDevs;
  std::set<int> live;
  IngestResult result;

  // One row, steps C2 to C8. Throws CardGone.
  void row(const Row& r) {
    if (!r.dest) return;
    const std::string key = ingestKey(cam_, r);
    std::vector<int> toCopy, unrecorded;
    for (int d : live) {
      const std::string& root = dests_[d];
      std::string target = under(root, *r.dest);
      bool there = exists(target);
      auto hash = store_.verifiedHash(key, root);
      if (hash && there) continue;
      if (hash && reclassifiedCopyExists(key, root, *r.dest)) continue;
      if (!there) toCopy.push_back(d);
      else unrecorded.push_back(d);
    }
    if (toCopy.empty() && unrecorded.empty()) {
      ++result.skipped;
      return;
    }
    RowState st{r, key, std::nullopt};
    try {
      if (!toCopy.empty()) copyRounds(st, toCopy);
      adoptInPlace(st, unrecorded);
    } catch (const CardGone&) {
      if (st.copied) ++result.copied;  // its recorded copies stay counted
      throw;
    }
    if (st.copied) ++result.copied;
    else if (toCopy.empty() && !st.failed) ++result.skipped;
  }

  bool cardMounted() const { return present(src_, cardDev); }
  bool driveThere(int d) const { return present(driveOf(dests_[d]), destDevs[d]); }

 private:
  struct RowState {
    const Row& r;
    std::string key;
    std::optional<Hashes> copyHash;
    bool copied = false;
    bool failed = false;
  };

  // A verified copy moved by reclassification lives at the recorded rel, not the computed one.
  bool reclassifiedCopyExists(const std::string& key, const std::string& root, const std::string& rel) {
    auto recorded = store_.destRel(key, root);
    return recorded && *recorded != rel && !recorded->empty() && exists(under(root, *recorded));
  }

  std::string target(int d, const Row& r) const { return under(dests_[d], *r.dest); }
  std::string part(int d, const Row& r) const { return target(d, r) + ".part"; }

  void fail(RowState& st, int d, const std::string& why, int round, bool writeRow = true) {
    if (writeRow) store_.record(st.key, dests_[d], *st.r.dest, st.r.size, std::nullopt, "failed", round);
    result.failed.push_back({*st.r.dest, dests_[d], why});
    st.failed = true;
  }

  void lose(RowState& st, int d, int round) {
    live.erase(d);
    result.lostDests.push_back(dests_[d]);
    fail(st, d, kLost, round, /*writeRow=*/false);
  }

  SourceTimes sourceTimes(const Row& r) {
    struct stat s {};
    if (::stat(r.src.c_str(), &s) != 0) {
      if (!cardMounted()) throw CardGone{};
      return {};
    }
    return {s.st_atim, s.st_mtim};
  }

  // Steps C4 to C6.
  void copyRounds(RowState& st, std::vector<int> list) {
    const Row& r = st.r;
    SourceTimes times = sourceTimes(r);
    int round = 1;
    while (!list.empty()) {
      std::optional<IOFail> failure;
      for (int d : list) {
        if (!driveThere(d)) {
          failure = IOFail{ENOENT, d};
          break;
        }
      }
      std::vector<Part> parts;
      std::vector<std::string> partPaths;
      for (int d : list) {
        parts.push_back({d, part(d, r)});
        partPaths.push_back(parts.back().path);
      }
      Hashes h;
      if (!failure) {
        for (const auto& p : partPaths) mkdirs(parentPath(p));
        try {
          h = copyOnce(r.src, parts, times, options_.md5, options_.verify != VerifyMode::paranoid);
        } catch (const IOFail& f) {
          failure = f;
        }
      }
      if (failure) {
        if (failure->dest) {
          int d = *failure->dest;
          ::unlink(part(d, r).c_str());
          std::erase(list, d);
          if (!driveThere(d)) {
            lose(st, d, round);
          } else {
            fail(st, d, kWrite + std::string(std::strerror(failure->err)), round);
          }
        } else {
          if (!cardMounted()) throw CardGone{};
          if (round >= 3) {
            for (int d : list) {
              ::unlink(part(d, r).c_str());
              fail(st, d, kCardRead + std::string(std::strerror(failure->err)), round);
            }
            list.clear();
          }
        }
        if (!list.empty()) ++round;
        continue;
      }
      st.copyHash = h;
      if (hooks_.beforeVerify) hooks_.beforeVerify(r, partPaths);

      std::vector<std::optional<std::string>> back;
      const char* state = "verified";
      if (options_.verify == VerifyMode::fast) {
        back.assign(list.size(), h.xxh64);
        state = "copied";
      } else {
        if (options_.verify == VerifyMode::paranoid) {
          auto again = hashFile(r.src);
          if (!again || *again != h.xxh64) {
            if (!cardMounted()) throw CardGone{};
            for (const auto& p : partPaths) ::unlink(p.c_str());
            if (round == 1) {
              ++round;
              continue;
            }
            for (int d : list) fail(st, d, kCardReread, round);
            break;
          }
        }
        back = hashFiles(partPaths);
      }

      std::vector<int> retry;
      for (size_t i = 0; i < list.size(); ++i) {
        int d = list[i];
        const std::string& root = dests_[d];
        // Pulled after the drive test, the part may have gone to the bare mount point instead.
        if (!driveThere(d)) {
          ::unlink(partPaths[i].c_str());
          lose(st, d, round);
          continue;
        }
        if (back[i] && *back[i] == h.xxh64 && renameNoReplace(partPaths[i], target(d, r)) == 0) {
          store_.record(st.key, root, *r.dest, r.size, h.xxh64, state, round, h.md5, r.view);
          st.copied = true;
          if (options_.verify != VerifyMode::fast) result.verified[root].push_back({r, h.xxh64, h.md5});
        } else if (round == 1) {
          retry.push_back(d);
        } else {
          ::unlink(partPaths[i].c_str());
          fail(st, d, kMismatch, round);
        }
      }
      list = std::move(retry);
      if (!list.empty()) ++round;
    }
  }

  // Step C7: files at the target without a verified record are compared, never replaced.
  void adoptInPlace(RowState& st, const std::vector<int>& unrecorded) {
    const Row& r = st.r;
    std::optional<std::string> srcHash;
    if (st.copyHash) srcHash = st.copyHash->xxh64;
    for (int d : unrecorded) {
      // A drive lost during this row's copies is not compared: its file cannot be read.
      if (!live.count(d)) continue;
      if (!srcHash) srcHash = hashFile(r.src);
      if (!srcHash) {
        if (!cardMounted()) throw CardGone{};
        fail(st, d, kNoCompare, 0, /*writeRow=*/false);
        continue;
      }
      auto there = hashFile(target(d, r));
      if (!there || *there != *srcHash) {
        fail(st, d, kOther, 0, /*writeRow=*/false);
        continue;
      }
      store_.record(st.key, dests_[d], *r.dest, r.size, *srcHash, "verified", 0, std::nullopt, r.view);
      result.verified[dests_[d]].push_back({r, *srcHash, std::nullopt});
    }
  }

  const std::vector<Row>& rows_;
  const std::string& src_;
  const std::string& cam_;
  const std::vector<std::string>& dests_;
  Store& store_;
  const IngestOptions& options_;
  const IngestHooks& hooks_;
};

}  // namespace

IngestResult runIngest(const std::vector<Row>& rows, const std::string& src, const std::string& cam,
                       const std::vector<std::string>& dests, const NameSet& names, Store& store,
                       int copiesRequired, const IngestOptions& options, const FreeBytesFn& free,
                       const ProgressFn& progress, SleepGuard* sleep, const IngestHooks& hooks,
                       const BytesFn& bytes) {
  Run run(rows, src, cam, dests, store, options, hooks);

  // A: checks before anything is written.
  auto card = devOf(src);
  if (!card) throw IngestStop::cardRemoved();
  run.cardDev = *card;
  for (const auto& root : dests) {
    std::string drive = driveOf(root);
    auto dev = devOf(drive);
    if (!dev) throw IngestStop::destMissing(drive);
    run.destDevs.push_back(*dev);
  }
  // A read-only or locked drive would otherwise fail every file, after the whole card went to
  // the others; the probe lands in the project folder, or the nearest folder above it that exists.
  for (const auto& root : dests) {
    if (int err = probeWrite(nearestExisting(root))) throw IngestStop::unwritable(driveOf(root), err);
  }
  std::vector<std::string> problems;
  for (const auto& root : dests) {
    for (const auto& line : planProblems(rows, root)) problems.push_back(lastComponent(root) + ": " + line);
  }
  if (!problems.empty()) throw IngestStop::conflicts(std::move(problems));
  for (const auto& root : dests) {
    int64_t need = 0;
    for (const auto& r : rows) {
      if (!store.verifiedHash(ingestKey(cam, r), root)) need += r.size;
    }
    int64_t have = free ? free(root) : 0;
    if (marginShort(need, have)) throw IngestStop::noSpace(root, need, have);
  }

  // B: folders, locks, sleep guard. Everything taken here is let go on every way out.
  std::vector<std::string> locks;
  bool holding = false;
  ScopeExit release([&] {
    if (holding && sleep) sleep->release();
    for (const auto& l : locks) ::unlink(l.c_str());
  });
  for (const auto& root : dests) {
    for (const auto& top : names.topFolders()) mkdirs(under(root, top));
    locks.push_back(takeLock(under(root, names.reports), cam));  // throws locked; guard unlinks
  }
  if (sleep) {
    sleep->hold("TOLVERDINE 복사 중");
    holding = true;
  }
  int64_t total = 0;
  for (const auto& r : rows) total += r.size;
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
      if (bytes) bytes(ByteProgress{done, done, total});
    }
  } catch (const CardGone&) {
    run.result.stopped = IngestStop::cardRemoved();
  }

  // D: completion.
  if (progress) progress(count, count, "", total, total);
  IngestResult& res = run.result;
  for (const auto& r : rows) {
    if (store.verifiedCount(ingestKey(cam, r)) < copiesRequired) ++res.underCopied;
  }
  if (res.stopped || !res.failed.empty()) res.color = CardColor::red;
  else if (res.underCopied > 0) res.color = CardColor::yellow;
  else res.color = CardColor::green;
  return std::move(res);
}

std::vector<std::string> resultLog(const IngestResult& r, const std::string& card, const std::string& cam,
                                   double seconds, int64_t bytes) {
  std::vector<std::string> lines;
  std::string first = "결과: " + card + " · " + cam + " · " + colorText(r.color) + " · 복사 " +
                      std::to_string(r.copied) + " 기존 " + std::to_string(r.skipped) + " 실패 " +
                      std::to_string(r.failed.size()) + " 사본부족 " + std::to_string(r.underCopied) +
                      " · " + std::to_string(static_cast<long long>(seconds)) + "초";
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
  if (r.failed.size() > 20) lines.push_back("실패 " + std::to_string(r.failed.size() - 20) + "개 더 — 리포트 CSV 참고");
  return lines;
}

}  // namespace tolverdine
