#include "engine/copy/mirror.h"

#include "os/drives.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <set>

#include "engine/base/files.h"
#include "engine/base/folder_lock.h"
#include "engine/base/names.h"
#include "engine/base/path_name.h"
#include "engine/base/rename.h"
#include "engine/base/system_reason.h"
#include "engine/base/text.h"
#include "engine/copy/copy.h"
#include "engine/copy/copy_group.h"
#include "engine/copy/preflight.h"
#include "engine/copy/storage.h"
#include "engine/store/copy_presence.h"
#include "engine/store/record_group.h"
#include "engine/store/store.h"
#include "os/clone.h"

namespace tolverdine {
namespace {

constexpr const char* kNoPrimary = "1차 사본이 없음";
constexpr const char* kReadBack = "2차 검증 해시 불일치";
constexpr const char* kOccupied = "같은 이름의 다른 파일이 이미 있음 — 덮어쓰지 않음";
constexpr const char* kLost = "목적지 분리됨";
constexpr const char* kViewFailed = "분류 뷰 클론 실패";

std::string damaged(const std::string& now, const std::string& recorded) {
  return "1차 사본 해시가 카드 기록과 다름 (" + now + " ≠ " + recorded + ") — 1차 사본 손상 의심";
}

// Returns 0, or the errno of the sync that puts the reports written and their names on the drive.
int copyReports(const std::string& primary, const std::string& secondary, Fs& fs) {
  int err = 0;
  for (const NameSet* set : {&NameSet::ko(), &NameSet::en()}) {
    const std::string from = join(primary, set->reports), to = join(secondary, set->reports);
    std::vector<DirEntry> entries;
    if (fs.list(from, &entries) != 0) continue;
    bool wrote = false;
    for (const DirEntry& e : entries) {
      const std::string& name = e.name;
      // Locks belong to the primary's runs; a temporary is a report still being written or one
      // a crash cut short, and would stay on the secondary for good.
      if (name.rfind("lock_", 0) == 0 || name == kFolderLockFile ||
          name.find(".tmp-") != std::string::npos)
        continue;
      const std::string target = join(to, name);
      std::string data, there;
      if (exists(target, fs)) {
        // A copy a failing drive cut short is the start of the report: it is made whole. Anything
        // else under the name stays as it is.
        if (!readFile(target, &there, fs) || !readFile(join(from, name), &data, fs) ||
            there.size() >= data.size() || data.compare(0, there.size(), there) != 0)
          continue;
        try {
          writeFileAtomic(target, data, fs);
        } catch (const WriteFail&) {
        }
        continue;
      }
      if (!readFile(join(from, name), &data, fs)) continue;
      mkdirs(to, fs);
      try {
        wrote = true;
        writeFile(target, data, true, fs);
      } catch (const WriteFail& f) {
        // A report cut short (full or failing drive) would stand as complete for good, since a
        // name already there is never written again: the next run writes it whole.
        if (f.err != EEXIST) fs.unlink(target);
      }
    }
    // One sync of the drive for all of them rather than one per report.
    if (wrote && err == 0) err = syncFileSystem(to, fs);
  }
  return err;
}

}  // namespace

MirrorResult runMirror(const std::string& primary, const std::string& secondary, Store& store,
                       const FreeBytes& free, const MirrorProgress& progress,
                       const MirrorBytes& bytes, Fs& fs) {
  const int64_t startNs = wallClockNs();
  const std::string drive = parentPath(secondary);
  auto driveDev = devOf(drive, fs);
  if (!driveDev) throw IngestStop::destMissing(drive);
  auto primaryDev = devOf(primary, fs);
  if (!primaryDev) throw IngestStop::destMissing(primary);

  std::unique_ptr<Drives> drives = systemDrives();
  std::vector<Entry> pending;
  for (auto& e : store.verifiedEntries(primary))
    if (!goodCopyOn(store, e.key, secondary, e.rel, realStat(fs), *drives))
      pending.push_back(std::move(e));
  int64_t need = 0;
  for (const auto& e : pending) need += e.size;
  const int64_t avail = free(secondary);
  if (marginShort(need, avail)) throw IngestStop::noSpace(secondary, need, avail);

  // Reports a crash cut short before they took their names.
  for (const NameSet* set : {&NameSet::ko(), &NameSet::en()})
    removeStaleTemps(join(secondary, set->reports), startNs, fs);

  const bool clones = canClone(secondary, fs);
  PartSweeper sweeper(startNs, fs);
  MirrorResult res;
  auto secondaryThere = [&] { return devOf(drive, fs) == driveDev; };
  auto makeViewClone = [&](const Entry& e) {
    if (!clones || !e.view) return;
    if (!staysInside(*e.view)) {
      res.failed.push_back({*e.view, kViewFailed});
      return;
    }
    const std::string view = nfc(join(secondary, *e.view));
    if (exists(view, fs)) return;
    mkdirs(parentPath(view), fs);
    if (fs.clone(join(secondary, e.rel), view) != 0) res.failed.push_back({*e.view, kViewFailed});
  };

  // The folders copies were renamed into since the last commit are flushed before it: a power
  // cut must not keep a verified row and lose its file's name. One flush per folder and group.
  std::set<std::string> renamedInto;
  RecordGroup records(store);
  records.beforeCommit([&] {
    bool ok = true;
    for (const auto& dir : renamedInto) {
      if (int err = syncFolder(dir, fs)) {
        ok = false;
        // A drive pulled meanwhile is lost, once, not a failure per folder.
        if (!secondaryThere()) {
          if (!res.lost) res.failed.push_back({dir, kLost});
          res.lost = true;
          break;
        }
        res.failed.push_back({dir, std::string("복사 오류: ") + std::strerror(err)});
      }
    }
    renamedInto.clear();
    return ok;
  });

  const int count = static_cast<int>(pending.size());
  int64_t dealt = 0;
  for (int i = 0; i < count; ++i) {
    const Entry& e = pending[i];
    if (i > 0) dealt += pending[i - 1].size;
    if (bytes) bytes(dealt, need);
    if (progress) progress(i + 1, count, lastComponent(e.rel));
    if (!secondaryThere()) {
      res.lost = true;
      res.failed.push_back({e.rel, kLost});
      break;
    }
    if (devOf(primary, fs) != primaryDev) throw IngestStop::destMissing(primary);
    if (!staysInside(e.rel)) {
      res.failed.push_back({e.rel, kNoPrimary});
      continue;
    }
    const std::string recorded = e.hash.value_or("");
    const std::string src = join(primary, e.rel), target = join(secondary, e.rel);
    struct stat st {};
    if (fs.stat(src, &st) != 0) {
      res.failed.push_back({e.rel, kNoPrimary});
      continue;
    }
    Row row;
    row.src = src;
    row.rel = e.rel;
    row.kind = Kind::etc;
    row.size = e.size;
    row.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    row.dest = e.rel;

    if (exists(target, fs)) {
      // Only a regular file of its own is adopted: a link (to the primary's copy, say) is not a
      // second copy.
      struct stat there {};
      auto h = fs.lstat(target, &there) == 0 && S_ISREG(there.st_mode) &&
                       !(there.st_dev == st.st_dev && there.st_ino == st.st_ino)
                   ? hashFile(target, {}, fs)
                   : std::nullopt;
      if (h && *h == recorded) {
        giveCopyTime(target, keyFacts(e.key) ? keyFacts(e.key)->mtimeNs : 0, fs);
        renamedInto.insert(parentPath(target));  // a run cut short may not have flushed it
        records.record(e.key, secondary, e.rel, e.size, recorded, CopyState::verified, 0,
                       std::nullopt, e.view, driveFileOf(target, *drives, fs));
        res.verified.push_back(Verified{row, recorded, std::nullopt});
        ++res.skipped;
        makeViewClone(e);
      } else {
        res.failed.push_back({e.rel, kOccupied});
      }
      continue;
    }

    mkdirs(parentPath(target), fs);
    sweeper.before(target);
    const std::string part = partPathFor(target, fs);
    LiveTemp live(part);
    Hashes got;
    try {
      got =
          copyOnce(src, {Part{0, part}}, SourceTimes{st.st_atim, st.st_mtim}, false, true, {}, fs);
    } catch (const IOFail& f) {
      fs.unlink(part);
      if (secondaryThere()) {
        res.failed.push_back({e.rel, "복사 오류: " + systemReason(f.err)});
        continue;
      }
      res.lost = true;
      res.failed.push_back({e.rel, kLost});
      break;
    }
    if (got.xxh64 != recorded) {
      fs.unlink(part);
      res.failed.push_back({e.rel, damaged(got.xxh64, recorded)});
      continue;
    }
    auto back = hashFile(part, {}, fs);
    if (!back || *back != recorded) {
      fs.unlink(part);
      res.failed.push_back({e.rel, kReadBack});
      continue;
    }
    if (int err = renameNoReplace(part, target, fs)) {
      fs.unlink(part);
      res.failed.push_back({e.rel, err == EEXIST ? kOccupied : "복사 오류: " + systemReason(err)});
      continue;
    }
    renamedInto.insert(parentPath(target));
    records.record(e.key, secondary, e.rel, e.size, recorded, CopyState::verified, 1, std::nullopt,
                   e.view, driveFileOf(target, *drives, fs));
    res.verified.push_back(Verified{row, recorded, std::nullopt});
    ++res.copied;
    makeViewClone(e);
  }
  if (bytes && count > 0 && !res.lost) bytes(need, need);
  records.commit();
  if (int err = copyReports(primary, secondary, fs))
    res.failed.push_back({NameSet::ko().reports, std::string("복사 오류: ") + std::strerror(err)});
  return res;
}

}  // namespace tolverdine
