// Whether a recorded verified copy is still a copy: a regular file at its recorded place, on the
// drive it was written to, with the size and the modification time it was given; or its drive is
// mounted nowhere (on the shelf).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/store/copy_state.h"
#include "os/drives.h"
#include "os/fs.h"

namespace tolverdine {

class Store;

/// What lstat tells the presence check. A symbolic link is never followed: a link is not a copy.
struct PathFacts {
  bool dir = false;
  bool regular = false;
  int64_t size = 0;
  int64_t mtimeNs = 0;
  int64_t ctimeNs = 0;  // the later of status and content change
  uint64_t dev = 0;
  int64_t ino = 0;
  /// Something is there that stat could not examine (EIO, EACCES, ENOTCONN ...): a drive that
  /// answers with errors is connected, and a copy on it is not vouched for.
  bool unreadable = false;
};
/// lstat of a path; absent when nothing is there (ENOENT, ENOTDIR).
using StatFn = std::function<std::optional<PathFacts>(const std::string&)>;
/// lstat through fs, which must outlive the function.
StatFn realStat(Fs& fs = realFs());

/// The state of a recorded copy's file.
enum class CopyPlace { good, missing, changed };

/// Size and time the copy must have, taken from its file key (cam|rel|size|mtimeNs).
struct KeyFacts {
  int64_t size = 0;
  int64_t mtimeNs = 0;
};
std::optional<KeyFacts> keyFacts(const std::string& key);

/// The file at root/rel against the size and time of its key: a regular file (never a link or a
/// folder) with that size and time. A time of 0 in the key is not compared (the copy kept the
/// time it was written at). Coarse file-system clocks (FAT 2 s, exFAT 10 ms, NTFS 100 ns) pass
/// within their step.
CopyPlace copyPlace(const std::string& root, const std::string& rel, const KeyFacts& want,
                    const StatFn& stat);

/// One verified row of the copy table. Rows of older builds carry no drive and no inode.
struct RecordedCopy {
  std::string key, dest, rel, at;
  std::optional<DriveFile> on;
};

/// The verdict on one recorded copy, and the drive it counts for when good: copies count once
/// per drive. For a row of an older build found good on its drive, `on` is what was learnt.
struct CopyJudgement {
  CopyPlace place = CopyPlace::missing;
  std::optional<DriveFile> on;
  CopyJudgement() = default;
  CopyJudgement(CopyPlace p, std::optional<DriveFile> d = std::nullopt)
      : place(p), on(std::move(d)) {}
};

/// A copy whose drive is mounted is judged by its file: at its recorded place, on that drive,
/// the same inode where the drive keeps inodes, with its size and time. A copy whose drive is
/// mounted nowhere is on the shelf and counts. A row without a drive counts only once its file
/// has been found on a mounted drive.
CopyJudgement judgeCopy(const RecordedCopy& c, const StatFn& stat, Drives& drives);

/// The drives among ids (each holding a good copy) that hold copies apart: a drive in memory holds
/// none, nor does one on a disk of notOn (the card's drive: the camera formats the whole card);
/// drives that share a disk hold one between them, named "disk:" and the first disk's name.
std::vector<std::string> drivesApart(const std::set<std::string>& ids,
                                     const std::optional<std::string>& notOn, Drives& drives);

/// The ingest run's "already there" decision for one live destination: a verified copy is
/// recorded for key on root and its file is good at the recorded place (plannedRel when no row
/// names another; a reclassified copy lives elsewhere) on the recorded drive.
bool goodCopyOn(Store& store, const std::string& key, const std::string& root,
                const std::string& plannedRel, const StatFn& stat, Drives& drives);

/// Where the file at path is: its drive and inode (lstat: a link is the link); absent when
/// nothing is there.
std::optional<DriveFile> driveFileOf(const std::string& path, Drives& drives, Fs& fs = realFs());

/// The drive of a card that is a mounted volume (its folder is where a file system is mounted,
/// or that file system is mounted under /media or /run/media): formatting the card erases every
/// copy on that drive, so none counts. Absent for a card that is a folder of another drive.
std::optional<std::string> cardDrive(const std::string& card, Drives& drives, Fs& fs = realFs());

/// Gives a copy the modification time of its source (ns since the epoch; 0: left alone). False
/// when the file system refuses.
bool giveCopyTime(const std::string& path, int64_t mtimeNs, Fs& fs = realFs());

}  // namespace tolverdine
