#include "engine/base/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "engine/base/records.h"
#include "engine/base/text.h"
#include "os/fd.h"

namespace tolverdine {

int writeAll(int fd, std::string_view data, Fs& fs) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = fs.write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

namespace {
std::atomic<unsigned long> tmpCounter{0};

// Temporaries this process is writing now: a cleanup at the start of another job must leave them.
std::mutex liveMu;
std::set<std::string> liveTemps;

// The run of digits at s[i...] up to '-' or the end; its value, or -1 when empty or too long.
long long digitsAt(std::string_view s, size_t& i) {
  const size_t start = i;
  long long v = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - start < 18) v = v * 10 + (s[i++] - '0');
  if (i == start || (i < s.size() && s[i] != '-')) return -1;
  return v;
}

// The pid a temporary's name carries; 0 when it has none.
pid_t pidOfTemp(std::string_view name) {
  const size_t at = name.rfind(".tmp-");
  if (at == std::string_view::npos) return 0;
  size_t i = at + 5;
  const long long pid = digitsAt(name, i);
  return pid > 0 && pid <= 0x7fffffff ? static_cast<pid_t>(pid) : 0;
}

void writeOut(const std::string& p, std::string_view data, bool exclusive, bool sync, Fs& fs) {
  int flags = O_WRONLY | O_CREAT | (exclusive ? O_EXCL : O_TRUNC);
  UniqueFd fd(fs.open(p, flags, 0644));
  if (!fd) throw WriteFail{p, errno};
  if (int err = writeAll(fd.get(), data, fs)) throw WriteFail{p, err};
  if (sync && fs.fsync(fd.get()) != 0) throw WriteFail{p, errno};
  if (fd.reset() != 0) throw WriteFail{p, errno};
}
}  // namespace

LiveTemp::LiveTemp(std::string path) : path_(std::move(path)) {
  std::lock_guard l(liveMu);
  liveTemps.insert(path_);
}

LiveTemp::~LiveTemp() {
  std::lock_guard l(liveMu);
  liveTemps.erase(path_);
}

bool isLive(const std::string& path) {
  std::lock_guard l(liveMu);
  return liveTemps.count(path) != 0;
}

void writeFile(const std::string& path, std::string_view data, bool exclusive, Fs& fs) {
  writeOut(nfc(path), data, exclusive, /*sync=*/false, fs);
}

void writeFileAtomic(const std::string& path, std::string_view data, Fs& fs) {
  std::string p = nfc(path);
  std::string tmp;
  std::optional<LiveTemp> live;
  // pid alone is not unique: two jobs of one process may write the same file at once.
  for (;;) {
    tmp = p + ".tmp-" + std::to_string(::getpid()) + "-" +
          std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()) % 1000000) + "-" +
          std::to_string(tmpCounter.fetch_add(1));
    live.emplace(tmp);
    try {
      // On the medium before it takes the name: a crash after an unsynced rename can leave the
      // file empty, losing the old content and the new.
      writeOut(tmp, data, /*exclusive=*/true, /*sync=*/true, fs);
      break;
    } catch (const WriteFail& f) {
      if (f.err == EEXIST) continue;
      fs.unlink(tmp);
      throw;
    }
  }
  if (fs.rename(tmp, p) != 0) {
    int err = errno;
    fs.unlink(tmp);
    throw WriteFail{path, err};
  }
  // Until the folder is flushed, a power cut can take the new name back.
  if (int err = syncFolder(parentPath(p), fs)) throw WriteFail{path, err};
}

int syncFolder(const std::string& dir, Fs& fs) {
  UniqueFd fd(fs.open(dir.empty() ? std::string(".") : dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return errno;
  if (fs.fsync(fd.get()) == 0) return 0;
  // Some network and FUSE file systems refuse an fsync of a folder: the whole one is synced.
  if (errno != EINVAL && errno != ENOTSUP) return errno;
  return fs.syncfs(fd.get()) == 0 ? 0 : errno;
}

int syncFileSystem(const std::string& path, Fs& fs) {
  UniqueFd fd(fs.open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return errno;
  return fs.syncfs(fd.get()) == 0 ? 0 : errno;
}

bool isAtomicTemp(std::string_view name) {
  const size_t at = name.rfind(".tmp-");
  if (at == std::string_view::npos || at == 0 || name[0] == '.') return false;
  size_t i = at + 5;
  for (int part = 0; part < 3; ++part) {
    if (part > 0 && (i >= name.size() || name[i++] != '-')) return false;
    if (digitsAt(name, i) < 0) return false;
  }
  return i == name.size();
}

int removeStaleTemps(const std::string& dir, int64_t beforeNs, Fs& fs) {
  std::vector<DirEntry> entries;
  if (fs.list(dir, &entries) != 0) return 0;
  int removed = 0;
  for (const auto& e : entries) {
    if (!isAtomicTemp(e.name)) continue;
    const std::string path = dir + "/" + e.name;
    struct stat st {};
    if (fs.lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec >= beforeNs) continue;
    if (isLive(path)) continue;
    // Another process of this computer may be writing it still (EPERM: alive, another user's).
    const pid_t pid = pidOfTemp(e.name);
    if (pid != ::getpid() && (::kill(pid, 0) == 0 || errno == EPERM)) continue;
    if (fs.unlink(path) == 0) ++removed;
  }
  return removed;
}

int64_t wallClockNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool mkdirs(const std::string& path, Fs& fs) {
  std::string p = nfc(path);
  std::string cur = (!p.empty() && p[0] == '/') ? "" : ".";
  size_t i = 0;
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    if (j > i) {
      const std::string up = cur.empty() ? std::string("/") : cur;
      cur.push_back('/');
      cur.append(p, i, j - i);
      if (fs.mkdir(cur, 0755) == 0) {
        // A new folder is flushed into its parent once, so that the files later flushed into it
        // are not lost with it.
        if (int err = syncFolder(up, fs)) {
          errno = err;
          return false;
        }
      } else if (errno != EEXIST) {
        return false;
      }
    }
    i = j + 1;
  }
  return true;
}

bool readFile(const std::string& path, std::string* out, Fs& fs) {
  UniqueFd fd(fs.open(path, O_RDONLY));
  if (!fd) return false;
  out->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = fs.read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    out->append(buf, static_cast<size_t>(n));
  }
}

bool exists(const std::string& path, Fs& fs) {
  struct stat st;
  return fs.lstat(path, &st) == 0;
}

std::string nearestExisting(const std::string& path, Fs& fs) {
  std::string p = nfc(path);
  while (!p.empty() && p != "/" && !exists(p, fs)) {
    std::string up = parentPath(p);
    if (up.empty()) return p[0] == '/' ? std::string("/") : std::string(".");
    p.swap(up);
  }
  if (p.empty()) return std::string(".");
  return p;
}

}  // namespace tolverdine
