#include "engine/copy/storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "os/fd.h"

namespace tolverdine {
namespace {

constexpr long kBtrfsMagic = 0x9123683E;
constexpr long kBcachefsMagic = 0xca451a4e;
constexpr long kXfsMagic = 0x58465342;

// Writes a small file and tries to clone it beside itself; both probe files are always removed.
bool probeClone(const std::string& dir, Fs& fs) {
  const std::string base = dir + "/.tolverdine-clone-probe-" + std::to_string(::getpid());
  const std::string a = base + ".a", b = base + ".b";
  bool ok = false;
  {
    UniqueFd fd(fs.open(a, O_WRONLY | O_CREAT | O_EXCL, 0600));
    if (!fd) return false;
    char block[4096] = {'t'};
    bool written = writeAll(fd.get(), std::string_view(block, sizeof block), fs) == 0;
    if (written && fd.reset() == 0) ok = fs.clone(a, b) == 0;
  }
  fs.unlink(b);
  fs.unlink(a);
  return ok;
}

}  // namespace

const char* storageText(StorageMode m) {
  switch (m) {
    case StorageMode::split: return "split";
    case StorageMode::mirror: return "mirror";
    case StorageMode::automatic: return "auto";
  }
  return "split";
}

std::optional<StorageMode> storageFromText(const std::string& s) {
  if (s == "split") return StorageMode::split;
  if (s == "mirror") return StorageMode::mirror;
  if (s == "auto") return StorageMode::automatic;
  return std::nullopt;
}

const char* storageLabel(StorageMode m) {
  switch (m) {
    case StorageMode::split: return "분류만";
    case StorageMode::mirror: return "원본 + 분류 뷰";
    case StorageMode::automatic: return "자동 (APFS 면 원본 + 분류 뷰)";
  }
  return "";
}

StorageMode resolveStorage(StorageMode mode, const std::vector<std::string>& dests) {
  if (mode != StorageMode::automatic) return mode;
  for (const auto& d : dests)
    if (!canClone(d)) return StorageMode::split;
  return StorageMode::mirror;
}

bool canClone(const std::string& path, Fs& fs) {
  const std::string at = nearestExisting(path, fs);
  const long type = fs.fsType(at);
  if (type == -1) return false;
  if (type == kBtrfsMagic || type == kBcachefsMagic) return true;
  if (type != kXfsMagic) return false;
  struct stat st {};
  if (fs.stat(at, &st) != 0) return false;
  static std::mutex mu;
  static std::map<dev_t, bool> cache;
  std::lock_guard<std::mutex> lock(mu);
  auto it = cache.find(st.st_dev);
  if (it != cache.end()) return it->second;
  std::string dir = S_ISDIR(st.st_mode) ? at : parentPath(at);
  bool ok = probeClone(dir, fs);
  cache[st.st_dev] = ok;
  return ok;
}

}  // namespace tolverdine
