// Checks before a card is copied: the volumes are there, the plan fits and harms nothing,
// and no other ingest of the same camera writes to the same destination.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/records.h"
#include "os/drives.h"
#include "os/fs.h"

namespace tolverdine {

/// st_dev of the file system holding path; absent when it cannot be examined.
std::optional<dev_t> devOf(const std::string& path, Fs& fs = realFs());
/// The path can be examined and lies on device dev.
bool present(const std::string& path, dev_t dev, Fs& fs = realFs());
/// Bytes available on the volume of the nearest existing ancestor of path; 0 when unknown.
int64_t availableBytes(const std::string& path);

/// True when need * 1.05 > free, computed in integers: in floating point a need of exactly
/// free / 1.05 would be refused (2000 * 1.05 is 2100.0000000000002).
bool marginShort(int64_t need, int64_t free);

/// Name problems of the plan against one root (empty: none).
std::vector<std::string> planProblems(const std::vector<Row>& rows, const std::string& root,
                                      Fs& fs = realFs());

/// Throws IngestStop::sameFolder for the first two folders that are one folder on disk or lie one
/// inside the other: a copy there would be counted twice.
void requireSeparateFolders(const std::vector<std::string>& folders);

/// One Korean line for each pair of folders on one drive ("같은 드라이브: A · B — …"): both may be
/// used, but their copies count as one. Folders not there yet are judged by the nearest folder
/// above them that is.
std::vector<std::string> sameDriveNotes(const std::vector<std::string>& folders, Drives& drives,
                                        Fs& fs = realFs());

/// Takes reports/lock_<cam>.json and returns its path. Throws IngestStop::locked when a live
/// ingest elsewhere holds it.
std::string takeLock(const std::string& reports, const std::string& cam, Fs& fs = realFs());

/// Error number of writing (and removing) a probe file in dir; 0 on success.
int probeWrite(const std::string& dir, Fs& fs = realFs());
/// Whether a file made in dir shows up anywhere on the card (on the card's own file system): dir
/// is the card under another name, as a FUSE or network mount of it can be, which no device
/// number tells.
bool reachesCard(const std::string& dir, const std::string& card, Fs& fs = realFs());
/// Error number of listing dir; 0 on success.
int probeRead(const std::string& dir, Fs& fs = realFs());

}  // namespace tolverdine
