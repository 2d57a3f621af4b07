// Whether a recorded verified copy is still a copy: the file is at its recorded place with the
// size and the modification time it was given, or its drive is not connected (on the shelf).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/posix/fs.h"

namespace tolverdine {

class Store;

/// What stat tells the presence check.
struct PathFacts {
  bool dir = false;
  bool regular = false;
  int64_t size = 0;
  int64_t mtimeNs = 0;
  int64_t ctimeNs = 0;  // the later of status and content change
  uint64_t dev = 0;
  /// Something is there that stat could not examine (EIO, EACCES, ENOTCONN ...): a drive that
  /// answers with errors is connected, and a copy on it is not vouched for.
  bool unreadable = false;
};
/// stat of a path (following links); absent when nothing is there (ENOENT, ENOTDIR).
using StatFn = std::function<std::optional<PathFacts>(const std::string&)>;
/// stat through fs, which must outlive the function.
StatFn realStat(Fs& fs = realFs());

/// The state of a recorded copy's file.
enum class CopyPlace { good, missing, changed };

/// Size and time the copy must have, taken from its file key (cam|rel|size|mtimeNs).
struct KeyFacts {
  int64_t size = 0;
  int64_t mtimeNs = 0;
};
std::optional<KeyFacts> keyFacts(const std::string& key);

/// The file at root/rel against the size and time of its key. A time of 0 in the key is not
/// compared (the copy kept the time it was written at). Coarse file-system clocks (FAT 2 s,
/// exFAT 10 ms, NTFS 100 ns) pass within their step.
CopyPlace copyPlace(const std::string& root, const std::string& rel, const KeyFacts& want,
                    const StatFn& stat);

/// Whether the drive that held root is mounted now. root there: yes. Otherwise the nearest folder
/// that is there decides: a mount point, or a folder changed at or after the copy was recorded
/// (recordedAt, seconds), lost the project folder on a drive that is here; a place where
/// removable drives are mounted (/media/x, /run/media/x, /mnt, /Volumes), or a folder untouched
/// since the copy (the empty mount point of a pulled drive), means a drive on the shelf.
/// Within the second of the copy a change counts as a deletion: in doubt a copy counts less.
bool driveConnected(const std::string& root, int64_t recordedAt, const StatFn& stat);

/// One verified row of the copy table, judged.
struct RecordedCopy {
  std::string key, dest, rel, at;
};
CopyPlace judgeCopy(const RecordedCopy& c, const StatFn& stat);

/// The ingest run's "already there" decision for one live destination: a verified copy is
/// recorded for key on root and its file is good at the recorded place (plannedRel when no row
/// names another; a reclassified copy lives elsewhere).
bool goodCopyOn(Store& store, const std::string& key, const std::string& root,
                const std::string& plannedRel, const StatFn& stat = realStat());

/// Gives a copy the modification time of its source (ns since the epoch; 0: left alone). False
/// when the file system refuses.
bool giveCopyTime(const std::string& path, int64_t mtimeNs, Fs& fs = realFs());

}  // namespace tolverdine
