#include "engine/base/folder_lock.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <map>
#include <memory>

namespace tolverdine {

namespace {
std::mutex& folderMutex(const std::string& dir, Fs& fs) {
  static std::mutex mapMutex;
  static std::map<std::string, std::unique_ptr<std::mutex>> byPath;
  std::string key = fs.realPath(dir).value_or(dir);
  std::lock_guard<std::mutex> g(mapMutex);
  auto& m = byPath[key];
  if (!m) m = std::make_unique<std::mutex>();
  return *m;
}
}  // namespace

FolderLock::FolderLock(const std::string& dir, Fs& fs)
    : mutex_(folderMutex(dir, fs)), fs_(fs), path_(dir + "/" + kFolderLockFile) {
  // A holder removes the file as it lets go: a lock taken on a file no longer at the path is
  // no lock, so it is taken again on the file that is.
  for (int tries = 0; tries < 100; ++tries) {
    file_ = UniqueFd(fs.open(path_, O_RDWR | O_CREAT, 0644));
    if (!file_) return;
    if (fs.lockExclusive(file_.get()) != 0) {
      file_.reset();  // not ours to remove; the in-process mutex still orders our own writers
      return;
    }
    struct stat held {
    }, named{};
    if (fs.fstat(file_.get(), &held) == 0 && fs.stat(path_, &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino)
      return;
  }
}

FolderLock::~FolderLock() {
  // Removed while still held, so the next writer finds a fresh file or the one it waits on.
  if (file_) fs_.unlink(path_);
}

}  // namespace tolverdine
