// Which drive holds a file, by an identity that outlives the path naming it. A copy is counted by
// the drive it is on: a bind mount, a second mount of one device and every folder of one drive
// are one drive, whatever their paths say; two volumes of one disk hold one copy between them;
// and a file system in memory holds none, since a power cut erases it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tolverdine {

/// Where a mounted file system is stored.
struct Backing {
  /// The whole disks under it ("sda", "nvme0n1", "loop3"), sorted: a partition's disk, the disks
  /// under a mapper or RAID device. Empty when not known (not mounted, or no block device: a
  /// network or FUSE file system).
  std::vector<std::string> disks;
  bool memory = false;  // in memory: tmpfs, ramfs, a RAM disk or zram
};

/// Whether two file systems are stored on a disk in common: losing it loses what is on both.
bool shareADisk(const Backing& a, const Backing& b);

class Drives {
 public:
  virtual ~Drives() = default;

  /// Identity of the file system whose files carry st_dev dev: "uuid:" and the UUID of its
  /// device where it has one (it survives a replug), else "dev:MAJOR:MINOR", with ":" and the
  /// statfs f_fsid in hexadecimal where that is not zero. A file system in memory has
  /// "memory:" before that.
  virtual std::string idOf(dev_t dev) = 0;
  /// Where the file system with this identity is stored, while it is mounted; one that was in
  /// memory (its identity says so) is in memory whether mounted or long gone.
  virtual Backing backingOf(const std::string& id) = 0;
  /// Whether a file system with this identity is mounted anywhere now.
  virtual bool mounted(const std::string& id) = 0;
  /// The folder where the file system with st_dev dev is mounted (the shortest such path when
  /// there are several); absent when the mount table does not list it.
  virtual std::optional<std::string> mountPointOf(dev_t dev) = 0;
  /// Whether an inode number on this file system still names the same file after a remount
  /// (not so on FAT, exFAT, FUSE and network file systems, which make them up at mount).
  virtual bool stableInodes(dev_t dev) = 0;
};

/// The kernel's mount table, read again whenever it changed. One per thread of work: it is not
/// shared between threads.
std::unique_ptr<Drives> systemDrives();

}  // namespace tolverdine
