#include "engine/copy/preflight.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>

#include "engine/base/canonical_path.h"
#include "engine/base/files.h"
#include "engine/base/lock_file.h"
#include "engine/base/text.h"

namespace tolverdine {

std::optional<dev_t> devOf(const std::string& path, Fs& fs) {
  struct stat st;
  if (fs.stat(nfc(path), &st) != 0) return std::nullopt;
  return st.st_dev;
}

bool present(const std::string& path, dev_t dev, Fs& fs) {
  auto d = devOf(path, fs);
  return d && *d == dev;
}

int64_t availableBytes(const std::string& path) {
  Fs& fs = realFs();  // handed around as a FreeBytesFn, so it takes no file system of its own
  const std::string p = nearestExisting(path, fs);
  struct statvfs vs;
  if (fs.statvfs(p, &vs) != 0) return 0;
  unsigned __int128 bytes = static_cast<unsigned __int128>(vs.f_bavail) * vs.f_frsize;
  constexpr auto kMax = static_cast<unsigned __int128>(std::numeric_limits<int64_t>::max());
  return static_cast<int64_t>(bytes > kMax ? kMax : bytes);
}

bool marginShort(int64_t need, int64_t free) {
  return static_cast<__int128>(need) * 105 > static_cast<__int128>(free) * 100;
}

std::vector<std::string> planProblems(const std::vector<Row>& rows, const std::string& root,
                                      Fs& fs) {
  std::map<std::string, std::string> claimed;  // relative path -> source of its first claimant
  std::vector<std::string> lines;
  for (const auto& r : rows) {
    for (const auto* slot : {&r.dest, &r.view}) {
      if (!*slot) continue;
      std::string p = nfc(**slot);
      auto it = claimed.find(p);
      if (it != claimed.end() && it->second != r.src)
        lines.push_back("같은 자리로 가는 두 파일: " + p + " ← " + lastComponent(it->second) +
                        " / " + lastComponent(r.src));
      claimed[p] = r.src;
      std::string full = nfc(root) + "/" + p;
      if (!exists(full, fs)) continue;
      struct stat st;
      bool statOk = fs.stat(full, &st) == 0;
      int64_t size = statOk ? st.st_size : 0;
      // A folder is never a place a file can be copied to, whatever size it reports.
      bool folder = statOk && S_ISDIR(st.st_mode);
      if (folder || size != r.size) lines.push_back("이미 다른 파일이 있음: " + p);
    }
  }
  return lines;
}

void requireSeparateFolders(const std::vector<std::string>& folders) {
  if (auto pair = overlappingPair(folders))
    throw IngestStop::sameFolder(folders[pair->first], folders[pair->second]);
}

std::vector<std::string> sameDriveNotes(const std::vector<std::string>& folders, Drives& drives,
                                        Fs& fs) {
  std::vector<std::optional<std::string>> ids;
  std::vector<Backing> backings;
  for (const auto& f : folders) {
    auto dev = devOf(nearestExisting(f, fs), fs);
    ids.push_back(dev ? std::optional<std::string>(drives.idOf(*dev)) : std::nullopt);
    backings.push_back(ids.back() ? drives.backingOf(*ids.back()) : Backing{});
  }
  std::vector<std::string> lines;
  for (size_t i = 0; i < folders.size(); ++i)
    if (backings[i].memory)
      lines.push_back("메모리 드라이브: " + folders[i] +
                      " — 전원이 꺼지면 사라지므로 이곳의 사본은 세지 않습니다. 디스크를 고르세요");
  for (size_t i = 0; i < folders.size(); ++i)
    for (size_t j = i + 1; j < folders.size(); ++j)
      if (ids[i] && ids[j] && (ids[i] == ids[j] || shareADisk(backings[i], backings[j])))
        lines.push_back("같은 드라이브: " + folders[i] + " · " + folders[j] +
                        " — 두 곳의 사본은 하나로 셉니다. 다른 드라이브를 고르세요");
  return lines;
}

std::string takeLock(const std::string& reports, const std::string& cam, Fs& fs) {
  std::string path = nfc(reports) + "/" + nfc("lock_" + cam + ".json");
  if (lockHeld(path, ::time(nullptr))) throw IngestStop::locked(cam);
  try {
    writeFile(path, lockContent(::getpid(), isoNow(), thisHost()), false, fs);
  } catch (const WriteFail&) {
    // The run itself will meet the same write failure and report it per file.
  }
  return path;
}

int probeWrite(const std::string& dir, Fs& fs) {
  std::string p = nfc(dir) + "/.tolverdine-probe-" + std::to_string(::getpid());
  try {
    writeFile(p, "ok", false, fs);
  } catch (const WriteFail& f) {
    fs.unlink(p);  // a file created before the write failed (a full disk) is not left
    return f.err;
  } catch (const std::exception&) {  // out of memory for the path or the write
    fs.unlink(p);
    return EIO;
  }
  fs.unlink(p);
  return 0;
}

namespace {

// Whether a file called name is in folder or below it on the file system dev; at most `budget`
// folders are looked into.
bool foundBelow(const std::string& folder, const std::string& name, dev_t dev, int& budget,
                Fs& fs) {
  std::vector<DirEntry> entries;
  if (--budget < 0 || fs.list(folder, &entries) != 0) return false;
  for (const auto& e : entries)
    if (e.name == name) return true;
  for (const auto& e : entries) {
    if (e.type != DT_DIR && e.type != DT_UNKNOWN) continue;
    const std::string path = folder + "/" + e.name;
    struct stat st {};
    if (fs.lstat(path, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_dev != dev) continue;
    if (foundBelow(path, name, dev, budget, fs)) return true;
  }
  return false;
}

}  // namespace

bool reachesCard(const std::string& dir, const std::string& card, Fs& fs) {
  auto dev = devOf(card, fs);
  if (!dev) return false;
  char unique[48];
  std::snprintf(unique, sizeof unique, ".tolverdine-where-%d-%lx", static_cast<int>(::getpid()),
                static_cast<unsigned long>(wallClockNs()));
  const std::string probe = nfc(dir) + "/" + unique;
  try {
    writeFile(probe, "", false, fs);
  } catch (const std::exception&) {
    fs.unlink(probe);
    return false;  // the copies themselves will meet what kept the probe out
  }
  int budget = 20000;
  const bool found = foundBelow(nfc(card), unique, *dev, budget, fs);
  fs.unlink(probe);
  return found;
}

int probeRead(const std::string& dir, Fs& fs) {
  std::vector<DirEntry> names;
  return fs.list(nfc(dir), &names) == 0 ? 0 : errno;
}

}  // namespace tolverdine
