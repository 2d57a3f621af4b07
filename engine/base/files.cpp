#include "engine/base/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "engine/base/records.h"
#include "engine/base/text.h"
#include "platform/posix/fd.h"

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

void writeOut(const std::string& p, std::string_view data, bool exclusive, bool sync, Fs& fs) {
  int flags = O_WRONLY | O_CREAT | (exclusive ? O_EXCL : O_TRUNC);
  UniqueFd fd(fs.open(p, flags, 0644));
  if (!fd) throw WriteFail{p, errno};
  if (int err = writeAll(fd.get(), data, fs)) throw WriteFail{p, err};
  if (sync && fs.fsync(fd.get()) != 0) throw WriteFail{p, errno};
  if (fd.reset() != 0) throw WriteFail{p, errno};
}
}  // namespace

void writeFile(const std::string& path, std::string_view data, bool exclusive, Fs& fs) {
  writeOut(nfc(path), data, exclusive, /*sync=*/false, fs);
}

void writeFileAtomic(const std::string& path, std::string_view data, Fs& fs) {
  std::string p = nfc(path);
  std::string tmp;
  // pid alone is not unique: two jobs of one process may write the same file at once.
  for (;;) {
    tmp = p + ".tmp-" + std::to_string(::getpid()) + "-" +
          std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()) % 1000000) + "-" +
          std::to_string(tmpCounter.fetch_add(1));
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
}

bool mkdirs(const std::string& path, Fs& fs) {
  std::string p = nfc(path);
  std::string cur = (!p.empty() && p[0] == '/') ? "" : ".";
  size_t i = 0;
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    if (j > i) {
      cur.push_back('/');
      cur.append(p, i, j - i);
      if (fs.mkdir(cur, 0755) != 0 && errno != EEXIST) return false;
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
