// Small files copied in groups: each file is read once and written to its parts without a flush;
// the parts of a group are then flushed together and read back from the medium after their cached
// pages were dropped, which costs far less than a direct read per file.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/copy/copy.h"
#include "platform/posix/fd.h"
#include "platform/posix/fs.h"

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

/// Reads back every flushed part (err 0) from the medium and sets back: the pages, clean after
/// the flush, are dropped and read in again from the drive, all of the group's reads queued at
/// once. A part
/// whose pages are still cached (the drop did not take) is read with the cache bypassed instead.
/// onRead hears (position in parts, bytes) after each part.
void readBackParts(const std::vector<PendingPart*>& parts,
                   const std::function<void(size_t, int64_t)>& onRead = {}, Fs& fs = realFs());

/// Asks the kernel to start reading a file that will be copied soon.
void prefetch(const std::string& path, Fs& fs = realFs());

/// The temporary name a copy is written under before it is renamed onto target: target +
/// ".part", or, where that name would be longer than the folder's file system allows, a short
/// name in the same folder derived from the target's name (so an interrupted run's leftover is
/// found and reused again) that also ends in ".part".
std::string partPathFor(const std::string& target, Fs& fs = realFs());

}  // namespace tolverdine
