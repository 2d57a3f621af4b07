#include "os/drives.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "os/fd.h"
#include "os/mountinfo.h"
#include "os/sysfs.h"

namespace tolverdine {

namespace {

std::optional<std::string> resolved(const std::string& path) {
  char buf[PATH_MAX];
  if (!::realpath(path.c_str(), buf)) return std::nullopt;
  return std::string(buf);
}

// udev's links first (no need to open the device, so any user can ask), then the superblock.
std::optional<std::string> uuidOfDevice(const std::string& source) {
  auto device = resolved(source);
  if (!device) return std::nullopt;
  if (DIR* d = ::opendir("/dev/disk/by-uuid")) {
    std::optional<std::string> found;
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      auto target = resolved(std::string("/dev/disk/by-uuid/") + e->d_name);
      if (target && *target == *device) {
        found = e->d_name;
        break;
      }
    }
    ::closedir(d);
    if (found) return found;
  }
  return probeUuid(*device);
}

// "MAJOR:MINOR", as sysfs and the "dev:" identities write a device number.
std::string devText(dev_t dev) {
  return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

// "dev:MAJOR:MINOR[:fsid]" names this device number.
bool sameDevice(const std::string& id, dev_t dev) {
  const std::string prefix = "dev:" + devText(dev);
  return id.compare(0, prefix.size(), prefix) == 0 &&
         (id.size() == prefix.size() || id[prefix.size()] == ':');
}

bool stableType(const std::string& fstype) {
  for (const char* t : {"ext2", "ext3", "ext4", "xfs", "btrfs", "tmpfs", "f2fs", "bcachefs", "zfs",
                        "ntfs3", "hfsplus", "apfs", "jfs", "nilfs2", "reiserfs"})
    if (fstype == t) return true;
  return false;
}

// Identities of file systems in memory begin so: whether mounted or long gone, nothing on them
// survives a power cut.
bool inMemory(const std::string& id) { return id.rfind("memory:", 0) == 0; }

bool memoryType(const std::string& fstype) { return fstype == "tmpfs" || fstype == "ramfs"; }

std::optional<dev_t> devOfText(const std::optional<std::string>& text) {
  unsigned ma = 0, mi = 0;
  if (!text || std::sscanf(text->c_str(), "%u:%u", &ma, &mi) != 2) return std::nullopt;
  return makedev(ma, mi);
}

class SystemDrives final : public Drives {
 public:
  std::string idOf(dev_t dev) override {
    refresh();
    return known(dev).id;
  }

  bool mounted(const std::string& id) override {
    refresh();
    return mountOf(id) != nullptr;
  }

  Backing backingOf(const std::string& id) override {
    refresh();
    auto it = backings_.find(id);
    if (it != backings_.end()) return it->second;
    Backing b;
    b.memory = inMemory(id);
    if (const MountLine* m = mountOf(id)) {
      b.memory = b.memory || memoryType(m->fstype);
      std::set<std::string> disks;
      if (auto block = blockOf(m->dev)) disksUnder(*block, 0, disks, b.memory);
      b.disks.assign(disks.begin(), disks.end());
    }
    return backings_.emplace(id, std::move(b)).first->second;
  }

  std::optional<std::string> mountPointOf(dev_t dev) override {
    refresh();
    std::optional<std::string> best;
    for (const MountLine& m : mounts_)
      if (m.dev == dev && (!best || m.mountPoint.size() < best->size())) best = m.mountPoint;
    return best;
  }

  bool stableInodes(dev_t dev) override {
    refresh();
    for (const MountLine& m : mounts_)
      if (m.dev == dev) return stableType(m.fstype);
    return false;
  }

 private:
  struct Known {
    std::string id;
  };

  const MountLine* mountOf(const std::string& id) {
    const bool byUuid = id.rfind("uuid:", 0) == 0;
    const std::string byDev = inMemory(id) ? id.substr(7) : id;
    for (const MountLine& m : mounts_) {
      // Only the mounts that could carry this identity are asked: a statfs of a network mount
      // that stopped answering would hang.
      if (byUuid ? m.source.empty() || m.source[0] != '/' : !sameDevice(byDev, m.dev)) continue;
      // A device that cannot be asked (no udev links and no right to read it) goes by its
      // device number, as it did when its copies were recorded.
      if (known(m.dev).id == id) return &m;
    }
    return nullptr;
  }

  // The block device under the file system with st_dev dev: that device itself, or the device
  // its mount names (btrfs hands out device numbers of its own).
  std::optional<dev_t> blockOf(dev_t dev) {
    struct stat st {};
    if (::access(("/sys/dev/block/" + devText(dev)).c_str(), F_OK) == 0) return dev;
    for (const MountLine& m : mounts_)
      if (m.dev == dev && !m.source.empty() && m.source[0] == '/' &&
          ::stat(m.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
        return st.st_rdev;
    return std::nullopt;
  }

  // The whole disks under block device dev, followed down through partitions and through mapper
  // and RAID devices (slaves). A disk image attached as a loop device is a disk of its own: the
  // drive holding the image is not followed.
  void disksUnder(dev_t dev, int depth, std::set<std::string>& disks, bool& memory) {
    auto node = resolved("/sys/dev/block/" + devText(dev));
    if (!node || depth > 8) return;
    const std::string disk = wholeDiskDir(*node);
    const std::string name = disk.substr(disk.rfind('/') + 1);
    if (name.rfind("zram", 0) == 0 || name.rfind("ram", 0) == 0) memory = true;
    bool below = false;
    if (DIR* d = ::opendir((disk + "/slaves").c_str())) {
      while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        if (auto slave = devOfText(sysfsAttr(disk + "/slaves/" + e->d_name, "dev"))) {
          disksUnder(*slave, depth + 1, disks, memory);
          below = true;
        }
      }
      ::closedir(d);
    }
    if (!below) disks.insert(name);
  }

  // The table is read again only when the kernel says it changed (poll on mountinfo), and asked
  // at most once a millisecond: a count of ten thousand copies asks three times for each, and
  // a mount a millisecond old is as new to it as one made just after its answer.
  void refresh() {
    const auto now = std::chrono::steady_clock::now();
    if (table_ && now - polled_ < std::chrono::milliseconds(1)) return;
    polled_ = now;
    if (!table_) {
      table_.reset(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    } else {
      pollfd p{table_.get(), POLLPRI, 0};
      if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLPRI | POLLERR))) return;
    }
    std::string text;
    if (table_) {
      ::lseek(table_.get(), 0, SEEK_SET);
      char buf[8192];
      ssize_t n;
      while ((n = ::read(table_.get(), buf, sizeof buf)) > 0) text.append(buf, n);
    }
    mounts_ = parseMountLines(text);
    // Device numbers are handed out again (a loop device given another image): forget them all.
    ids_.clear();
    backings_.clear();
  }

  const Known& known(dev_t dev) {
    auto it = ids_.find(dev);
    if (it != ids_.end()) return it->second;
    Known k;
    const MountLine* mount = nullptr;
    for (const MountLine& m : mounts_)
      if (m.dev == dev && (!mount || m.mountPoint.size() < mount->mountPoint.size())) mount = &m;
    if (mount && !mount->source.empty() && mount->source[0] == '/') {
      if (auto uuid = uuidOfDevice(mount->source)) k.id = "uuid:" + *uuid;
    }
    if (k.id.empty()) {
      k.id = "dev:" + devText(dev);
      struct statfs s {};
      if (mount && ::statfs(mount->mountPoint.c_str(), &s) == 0) {
        unsigned long long fsid =
            (static_cast<unsigned long long>(static_cast<unsigned>(s.f_fsid.__val[0])) << 32) |
            static_cast<unsigned>(s.f_fsid.__val[1]);
        if (fsid != 0) {
          char hex[20];
          std::snprintf(hex, sizeof hex, ":%llx", fsid);
          k.id += hex;
        }
      }
      if (mount && memoryType(mount->fstype)) k.id = "memory:" + k.id;
    }
    return ids_.emplace(dev, std::move(k)).first->second;
  }

  UniqueFd table_;
  std::chrono::steady_clock::time_point polled_;
  std::vector<MountLine> mounts_;
  std::map<dev_t, Known> ids_;
  std::map<std::string, Backing> backings_;
};

}  // namespace

bool shareADisk(const Backing& a, const Backing& b) {
  for (const auto& d : a.disks)
    if (std::find(b.disks.begin(), b.disks.end(), d) != b.disks.end()) return true;
  return false;
}

std::unique_ptr<Drives> systemDrives() { return std::make_unique<SystemDrives>(); }

}  // namespace tolverdine
