// Small files copied in groups: each file is read once and written to its parts without a flush;
// the parts of a group are then flushed together, one sync for all, and read back from the medium.
#pragma once

#include <fcntl.h>

#include <set>

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/copy/copy.h"
#include "os/fd.h"
#include "os/fs.h"

namespace tolverdine {

/// A part written but not yet flushed. The flush and read-back fill in err and back.
struct PendingPart {
  int index = 0;  // the caller's destination number
  std::string path;
  UniqueFd fd;  // open only while it is written
  int64_t size = 0;
  SourceTimes times;
  int err = 0;                      // errno of the flush or close; 0 once it is on the medium
  std::optional<std::string> back;  // XXH64 read back from the medium
  std::optional<int> moved;         // the rename onto its target once it matched: 0 or errno
};

/// A source of at most cap bytes read once into buf and written to every part (created or
/// truncated, 0644), the writes of several parts side by side, each given the source times and
/// closed, not flushed.
/// Throws IOFail (dest absent: the source) and leaves the parts as they are.
struct SmallCopy {
  Hashes hashes;
  int64_t bytes = 0;  // read from the source
  std::vector<PendingPart> parts;
};
SmallCopy copySmall(const std::string& src, const std::vector<Part>& parts,
                    const SourceTimes& times, bool md5, char* buf, size_t cap, bool cacheSource,
                    Fs& fs = realFs());

/// Flushes the given parts of one destination (all on one file system) together: the file
/// system is synced once. Sets err on every part when that fails.
void flushParts(const std::vector<PendingPart*>& parts, Fs& fs = realFs());

/// Reads back every flushed part (err 0) from the medium and sets back: with the cache bypassed
/// (O_DIRECT), or where the file system takes no direct reads, with the file's pages dropped
/// before and behind. onRead hears (position in parts, bytes) after each part.
void readBackParts(const std::vector<PendingPart*>& parts,
                   const std::function<void(size_t, int64_t)>& onRead = {}, Fs& fs = realFs());

/// Asks the kernel to start reading a file that will be copied soon.
void prefetch(const std::string& path, Fs& fs = realFs());

/// Flags a temporary is created with: never an existing file, never through a link.
inline constexpr int kPartFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

/// A fresh temporary name a copy is written under before it is renamed onto target: target +
/// "." + pid + "-" + 8 random hex digits + ".part", or, where that would be longer than the
/// folder's file system allows, ".tolverdine-" + pid + "-" + 8 hex digits + ".part" in the same
/// folder. Every call gives another name. nameMax: the folder's longest name, where the caller
/// knows it (folderNameMax); 0 asks the file system.
std::string partPathFor(const std::string& target, Fs& fs = realFs(), long nameMax = 0);

/// The longest file name the file system of folder takes; a folder not made yet answers for the
/// nearest one above it that exists. 255 where it cannot be told.
long folderNameMax(const std::string& folder, Fs& fs = realFs());

/// Removes the temporaries of this program in folder that a process no longer running left
/// (interrupted runs) and that are older than beforeNs (ns since the epoch); returns how many.
int removeStaleParts(const std::string& folder, int64_t beforeNs, Fs& fs = realFs());
/// The same, for a folder already listed.
int removeStaleParts(const std::string& folder, const std::vector<DirEntry>& entries,
                     int64_t beforeNs, Fs& fs);

/// One run's clearing of crash leftovers: before the first temporary of each folder, the stale
/// temporaries there (removeStaleParts), and before each copy, the target's ".part" of builds
/// before unique names when older than the run.
class PartSweeper {
 public:
  PartSweeper(int64_t startNs, Fs& fs) : startNs_(startNs), fs_(fs) {}
  void before(const std::string& target);

 private:
  int64_t startNs_;
  Fs& fs_;
  std::set<std::string> swept_;
  std::set<std::string> oldParts_;  // the ".part" files of the swept folders, as listed
  std::set<std::string> unlisted_;  // swept folders that could not be listed
};

}  // namespace tolverdine
