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

bool readable(const std::optional<PathFacts>& f) { return f && !f->unreadable; }

// Folders where the system mounts removable drives: a drive's folder missing there is a drive
// that was taken away, whatever else changed in them since.
bool mountPlace(const std::string& path) {
  for (const char* p : {"/media", "/run/media", "/mnt", "/Volumes"}) {
    const std::string place = p;
    if (path == place) return true;
    if (place != "/mnt" && place != "/Volumes" &&
        path.compare(0, place.size() + 1, place + "/") == 0 &&
        path.find('/', place.size() + 1) == std::string::npos)
      return true;
  }
  return false;
}

}  // namespace

StatFn realStat(Fs& fs) {
  return [&fs](const std::string& path) -> std::optional<PathFacts> {
    struct stat st {};
    PathFacts f;
    if (fs.stat(path, &st) != 0) {
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
  if (!f->regular || f->size != want.size) return CopyPlace::changed;
  if (want.mtimeNs != 0 && !sameTime(f->mtimeNs, want.mtimeNs)) return CopyPlace::changed;
  return CopyPlace::good;
}

bool driveConnected(const std::string& root, int64_t recordedAt, const StatFn& stat) {
  if (stat(root)) return true;
  std::string folder = root;
  std::optional<PathFacts> facts;
  do {
    folder = parentPath(folder);
    if (folder.empty()) folder = "/";
    facts = stat(folder);
  } while (!facts && folder != "/");
  if (facts && facts->unreadable) return true;
  if (!facts || mountPlace(folder)) return false;
  std::string parent = parentPath(folder);
  if (parent.empty()) parent = "/";
  auto up = stat(parent);
  if (folder != "/" && up && !up->unreadable && up->dev != facts->dev)
    return true;  // a mounted drive whose project folder is gone
  // Removing the project folder changed this folder; a drive pulled from over it did not.
  return facts->ctimeNs / kNs >= recordedAt;
}

CopyPlace judgeCopy(const RecordedCopy& c, const StatFn& stat) {
  auto want = keyFacts(c.key);
  auto at = parseInternetDate(c.at, Fraction::forbidden);
  // An unreadable time stamp cannot show that the drive is away: the file decides.
  const int64_t recorded = at ? static_cast<int64_t>(*at) : 0;
  if (!driveConnected(c.dest, recorded, stat)) return CopyPlace::good;
  if (!want) return readable(stat(under(c.dest, c.rel))) ? CopyPlace::good : CopyPlace::missing;
  return copyPlace(c.dest, c.rel, *want, stat);
}

bool goodCopyOn(Store& store, const std::string& key, const std::string& root,
                const std::string& plannedRel, const StatFn& stat) {
  if (!store.verifiedHash(key, root)) return false;
  auto recorded = store.destRel(key, root);
  const std::string rel = recorded && !recorded->empty() ? *recorded : plannedRel;
  auto want = keyFacts(key);
  if (!want) return readable(stat(under(root, rel)));
  return copyPlace(root, rel, *want, stat) == CopyPlace::good;
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
