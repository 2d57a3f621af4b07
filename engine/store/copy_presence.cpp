#include "engine/store/copy_presence.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "engine/base/files.h"
#include "engine/base/iso_date.h"
#include "engine/base/text.h"
#include "engine/store/store.h"

namespace tolverdine {

namespace {

constexpr int64_t kNs = 1000000000;

std::string under(const std::string& root, const std::string& rel) {
  if (!root.empty() && root.back() == '/') return root + rel;
  return root + "/" + rel;
}

int64_t ns(const timespec& t) { return static_cast<int64_t>(t.tv_sec) * kNs + t.tv_nsec; }

std::optional<int64_t> number(const std::string& s) {
  if (s.empty() || s.size() > 19) return std::nullopt;
  size_t i = s[0] == '-' ? 1 : 0;
  if (i == s.size()) return std::nullopt;
  for (size_t j = i; j < s.size(); ++j)
    if (s[j] < '0' || s[j] > '9') return std::nullopt;
  return std::strtoll(s.c_str(), nullptr, 10);
}

// Equal times, or a file time that sits on a coarse clock's step within one step of the key's.
bool sameTime(int64_t file, int64_t key) {
  if (file == key) return true;
  const int64_t diff = file > key ? file - key : key - file;
  for (int64_t step : {2 * kNs, kNs, kNs / 100, int64_t{100}})
    if (file % step == 0) return diff < step;
  return false;
}

// A regular file (a link is never a copy) with the size and time of the key.
bool fitsKey(const PathFacts& f, const KeyFacts& want) {
  if (!f.regular || f.size != want.size) return false;
  return want.mtimeNs == 0 || sameTime(f.mtimeNs, want.mtimeNs);
}

}  // namespace

StatFn realStat(Fs& fs) {
  return [&fs](const std::string& path) -> std::optional<PathFacts> {
    struct stat st {};
    PathFacts f;
    if (fs.lstat(path, &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
      f.unreadable = true;
      return f;
    }
    f.dir = S_ISDIR(st.st_mode);
    f.regular = S_ISREG(st.st_mode);
    f.size = st.st_size;
    f.mtimeNs = ns(st.st_mtim);
    f.ctimeNs = std::max(ns(st.st_ctim), f.mtimeNs);
    f.dev = st.st_dev;
    f.ino = static_cast<int64_t>(st.st_ino);
    return f;
  };
}

std::optional<KeyFacts> keyFacts(const std::string& key) {
  const size_t t = key.rfind('|');
  if (t == std::string::npos || t == 0) return std::nullopt;
  const size_t s = key.rfind('|', t - 1);
  if (s == std::string::npos) return std::nullopt;
  auto size = number(key.substr(s + 1, t - s - 1));
  auto mtime = number(key.substr(t + 1));
  if (!size || !mtime) return std::nullopt;
  return KeyFacts{*size, *mtime};
}

// Reads no content: a change that keeps both size and time is found only by reading the copy
// back against its hash list (verify); counting every copy by reading it would take as long
// as the copies themselves.
CopyPlace copyPlace(const std::string& root, const std::string& rel, const KeyFacts& want,
                    const StatFn& stat) {
  auto f = stat(under(root, rel));
  if (!f || f->unreadable) return CopyPlace::missing;
  return fitsKey(*f, want) ? CopyPlace::good : CopyPlace::changed;
}

namespace {

// The file of a copy whose drive is mounted: regular, on that drive, still the same file where
// the drive keeps inode numbers, with the size and time of its key. `seen` gets where it is.
CopyPlace onItsDrive(const RecordedCopy& c, const std::string& rel, const StatFn& stat,
                     Drives& drives, std::optional<DriveFile>* seen) {
  auto f = stat(under(c.dest, rel));
  if (!f || f->unreadable) return CopyPlace::missing;
  if (!f->regular) return CopyPlace::changed;
  const std::string drive = drives.idOf(static_cast<dev_t>(f->dev));
  // The path leads to another drive now (a folder where the drive used to be mounted).
  if (c.on && drive != c.on->drive) return CopyPlace::missing;
  if (c.on && f->ino != c.on->ino && drives.stableInodes(static_cast<dev_t>(f->dev)))
    return CopyPlace::changed;
  if (auto want = keyFacts(c.key); want && !fitsKey(*f, *want)) return CopyPlace::changed;
  if (seen) *seen = DriveFile{drive, f->ino};
  return CopyPlace::good;
}

}  // namespace

CopyJudgement judgeCopy(const RecordedCopy& c, const StatFn& stat, Drives& drives) {
  // On the shelf only when no file system with its identity is mounted anywhere: a path that is
  // gone says nothing, the drive may be mounted elsewhere with the copy deleted.
  if (c.on && !drives.mounted(c.on->drive)) return {CopyPlace::good, c.on};
  std::optional<DriveFile> seen;
  CopyPlace p = onItsDrive(c, c.rel, stat, drives, &seen);
  return {p, p == CopyPlace::good ? seen : std::nullopt};
}

std::vector<std::string> drivesApart(const std::set<std::string>& ids,
                                     const std::optional<std::string>& notOn, Drives& drives) {
  const Backing card = notOn ? drives.backingOf(*notOn) : Backing{};
  // Each entry: a drive on no known disk (by its identity), or the disks of drives that share one.
  std::vector<std::pair<std::string, Backing>> apart;
  for (const auto& id : ids) {
    if (id == notOn) continue;
    Backing b = drives.backingOf(id);
    if (b.memory || shareADisk(b, card)) continue;
    for (auto it = apart.begin(); it != apart.end();) {
      if (!shareADisk(it->second, b)) {
        ++it;
        continue;
      }
      b.disks.insert(b.disks.end(), it->second.disks.begin(), it->second.disks.end());
      it = apart.erase(it);
    }
    std::sort(b.disks.begin(), b.disks.end());
    b.disks.erase(std::unique(b.disks.begin(), b.disks.end()), b.disks.end());
    std::string name = b.disks.empty() ? id : "disk:" + b.disks.front();
    apart.emplace_back(std::move(name), std::move(b));
  }
  std::vector<std::string> names;
  for (auto& a : apart) names.push_back(std::move(a.first));
  return names;
}

bool goodCopyOn(Store& store, const std::string& key, const std::string& root,
                const std::string& plannedRel, const StatFn& stat, Drives& drives) {
  auto row = store.verifiedRow(key, root);
  if (!row) return false;
  const std::string rel = row->rel.empty() ? plannedRel : row->rel;
  return onItsDrive(*row, rel, stat, drives, nullptr) == CopyPlace::good;
}

std::optional<DriveFile> driveFileOf(const std::string& path, Drives& drives, Fs& fs) {
  struct stat st {};
  if (fs.lstat(path, &st) != 0) return std::nullopt;
  return DriveFile{drives.idOf(st.st_dev), static_cast<int64_t>(st.st_ino)};
}

std::optional<std::string> cardDrive(const std::string& card, Drives& drives, Fs& fs) {
  struct stat st {};
  if (fs.stat(card, &st) != 0) return std::nullopt;
  auto point = drives.mountPointOf(st.st_dev);
  if (!point) return std::nullopt;
  const bool removablePlace =
      point->rfind("/media/", 0) == 0 || point->rfind("/run/media/", 0) == 0;
  struct stat up {};
  const std::string parent = parentPath(card).empty() ? "/" : parentPath(card);
  const bool mountRoot = fs.stat(parent, &up) == 0 && up.st_dev != st.st_dev;
  if (!removablePlace && !mountRoot && *point != card) return std::nullopt;
  return drives.idOf(st.st_dev);
}

bool giveCopyTime(const std::string& path, int64_t mtimeNs, Fs& fs) {
  if (mtimeNs == 0) return true;
  timespec ts[2] = {{0, UTIME_OMIT},
                    {static_cast<time_t>(mtimeNs / kNs), static_cast<long>(mtimeNs % kNs)}};
  if (mtimeNs < 0 && ts[1].tv_nsec < 0) {
    ts[1].tv_sec -= 1;
    ts[1].tv_nsec += kNs;
  }
  return fs.utimens(path, ts) == 0;
}

}  // namespace tolverdine
