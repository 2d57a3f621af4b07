#include "platform/posix/drives.h"

#include <blkid/blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <vector>

#include "platform/posix/fd.h"

namespace tolverdine {

namespace {

struct Mount {
  dev_t dev = 0;
  std::string point, source, fstype;
};

// mountinfo writes space, tab, newline and backslash in paths as \ooo octal escapes.
std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      const std::string oct = s.substr(i + 1, 3);
      if (oct.find_first_not_of("01234567") == std::string::npos) {
        out += static_cast<char>(std::stoi(oct, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

std::vector<Mount> parse(const std::string& text) {
  std::vector<Mount> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point options [optional...] - fstype source super-options
    std::istringstream f(line);
    std::vector<std::string> w;
    for (std::string t; f >> t;) w.push_back(t);
    if (w.size() < 7) continue;
    size_t dash = 6;
    while (dash < w.size() && w[dash] != "-") ++dash;
    if (dash + 2 >= w.size()) continue;
    unsigned maj = 0, min = 0;
    if (std::sscanf(w[2].c_str(), "%u:%u", &maj, &min) != 2) continue;
    out.push_back({makedev(maj, min), unescape(w[4]), unescape(w[dash + 2]), w[dash + 1]});
  }
  return out;
}

std::optional<std::string> resolved(const std::string& path) {
  char buf[PATH_MAX];
  if (!::realpath(path.c_str(), buf)) return std::nullopt;
  return std::string(buf);
}

struct ProbeCloser {
  void operator()(blkid_probe p) const { blkid_free_probe(p); }
};

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
  std::unique_ptr<blkid_struct_probe, ProbeCloser> probe(
      blkid_new_probe_from_filename(device->c_str()));
  if (!probe) return std::nullopt;
  blkid_probe_enable_superblocks(probe.get(), 1);
  blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_UUID);
  const char* uuid = nullptr;
  size_t len = 0;
  if (blkid_do_safeprobe(probe.get()) != 0 ||
      blkid_probe_lookup_value(probe.get(), "UUID", &uuid, &len) != 0 || !uuid)
    return std::nullopt;
  std::string out(uuid, len);
  while (!out.empty() && out.back() == '\0') out.pop_back();  // len counts the terminator
  if (out.empty()) return std::nullopt;
  return out;
}

// "dev:MAJOR:MINOR[:fsid]" names this device number.
bool sameDevice(const std::string& id, dev_t dev) {
  const std::string prefix = "dev:" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  return id.compare(0, prefix.size(), prefix) == 0 &&
         (id.size() == prefix.size() || id[prefix.size()] == ':');
}

bool stableType(const std::string& fstype) {
  for (const char* t : {"ext2", "ext3", "ext4", "xfs", "btrfs", "tmpfs", "f2fs", "bcachefs", "zfs",
                        "ntfs3", "hfsplus", "apfs", "jfs", "nilfs2", "reiserfs"})
    if (fstype == t) return true;
  return false;
}

class SystemDrives final : public Drives {
 public:
  std::string idOf(dev_t dev) override {
    refresh();
    return known(dev).id;
  }

  bool mounted(const std::string& id) override {
    refresh();
    const bool byUuid = id.rfind("uuid:", 0) == 0;
    for (const Mount& m : mounts_) {
      // Only the mounts that could carry this identity are asked: a statfs of a network mount
      // that stopped answering would hang.
      if (byUuid ? m.source.empty() || m.source[0] != '/' : !sameDevice(id, m.dev)) continue;
      // A device that cannot be asked (no udev links and no right to read it) goes by its
      // device number, as it did when its copies were recorded.
      if (known(m.dev).id == id) return true;
    }
    return false;
  }

  std::optional<std::string> mountPointOf(dev_t dev) override {
    refresh();
    std::optional<std::string> best;
    for (const Mount& m : mounts_)
      if (m.dev == dev && (!best || m.point.size() < best->size())) best = m.point;
    return best;
  }

  bool stableInodes(dev_t dev) override {
    refresh();
    for (const Mount& m : mounts_)
      if (m.dev == dev) return stableType(m.fstype);
    return false;
  }

 private:
  struct Known {
    std::string id;
  };

  // The table is read again only when the kernel says it changed (poll on mountinfo), so asking
  // for every copy of a large card costs one poll each.
  void refresh() {
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
    mounts_ = parse(text);
    // Device numbers are handed out again (a loop device given another image): forget them all.
    ids_.clear();
  }

  const Known& known(dev_t dev) {
    auto it = ids_.find(dev);
    if (it != ids_.end()) return it->second;
    Known k;
    const Mount* mount = nullptr;
    for (const Mount& m : mounts_)
      if (m.dev == dev && (!mount || m.point.size() < mount->point.size())) mount = &m;
    if (mount && !mount->source.empty() && mount->source[0] == '/') {
      if (auto uuid = uuidOfDevice(mount->source)) k.id = "uuid:" + *uuid;
    }
    if (k.id.empty()) {
      k.id = "dev:" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
      struct statfs s {};
      if (mount && ::statfs(mount->point.c_str(), &s) == 0) {
        unsigned long long fsid =
            (static_cast<unsigned long long>(static_cast<unsigned>(s.f_fsid.__val[0])) << 32) |
            static_cast<unsigned>(s.f_fsid.__val[1]);
        if (fsid != 0) {
          char hex[20];
          std::snprintf(hex, sizeof hex, ":%llx", fsid);
          k.id += hex;
        }
      }
    }
    return ids_.emplace(dev, std::move(k)).first->second;
  }

  UniqueFd table_;
  std::vector<Mount> mounts_;
  std::map<dev_t, Known> ids_;
};

}  // namespace

std::unique_ptr<Drives> systemDrives() { return std::make_unique<SystemDrives>(); }

}  // namespace tolverdine
