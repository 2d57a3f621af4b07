// Listing every regular file of a mounted card, in a fixed order, with its status.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "os/fs.h"

namespace tolverdine {

/// A folder of the card that could not be listed: rel is card-relative ("" for the root).
struct ListingError {
  std::string rel;
  int err = 0;
  bool operator==(const ListingError&) const = default;
};

/// The file-system calls of a walk, made through fs. Tests override one of them to fail a
/// listing or a status, or hand an Fs that fails calls of its own.
class WalkFs {
 public:
  explicit WalkFs(Fs& fs = realFs()) : fs_(&fs) {}
  virtual ~WalkFs() = default;
  /// Entry names of a folder, without "." and ".."; 0 or the errno of the failure.
  virtual int list(const std::string& path, std::vector<std::string>& names) const;
  /// 0 or errno; lstat does not follow a final symbolic link, stat does.
  virtual int lstat(const std::string& path, struct ::stat& st) const;
  virtual int stat(const std::string& path, struct ::stat& st) const;

 private:
  Fs* fs_;
};
const WalkFs& realWalkFs();

/// One listed file: absolute path, card-relative NFC path and its status (0 and 0 when the
/// status could not be read).
struct WalkEntry {
  std::string path;
  std::string rel;
  int64_t size = 0;
  int64_t mtimeNs = 0;
};

struct WalkResult {
  std::vector<WalkEntry> files;
  std::vector<ListingError> errors;  // never empty for a card that was listed only in part
};

/// Every regular file under root: a folder's own files in name order (byte order of the names),
/// then each subfolder in name order, depth first. Hidden files are never listed; skipDirs are
/// never entered; hidden folders are. The walk stays on the device of the root, never descends
/// into a symbolic link or into a folder it has already visited, and lists neither FIFOs,
/// sockets nor device nodes (reading one would hang or read the machine). A symbolic link to a
/// regular file on the card's own device is listed as a file; any other link is left out.
WalkResult walk(const std::string& root, const WalkFs& fs = realWalkFs());

/// root with "." and ".." resolved by text and no trailing "/".
std::string standardPath(const std::string& root);

}  // namespace tolverdine
