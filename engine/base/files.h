// Whole-file writes and folder creation shared by every writer of the engine.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "os/fs.h"

namespace tolverdine {

/// Writes data to the NFC form of path, mode 0644; truncates, or with exclusive refuses an
/// existing file (EEXIST). No fsync. Throws WriteFail.
/// Writes all of data to fd, repeating partial and interrupted writes; 0 or the errno (EIO when
/// the file system takes nothing).
int writeAll(int fd, std::string_view data, Fs& fs = realFs());

void writeFile(const std::string& path, std::string_view data, bool exclusive = false,
               Fs& fs = realFs());

/// Writes a private temporary file beside path, flushes it and renames it onto path. Each call has
/// its own exclusively created temporary name, removed again when the write or the rename fails, so
/// two writers of one file never truncate each other's data. The folder is flushed after the
/// rename, so the new name is on the medium when it returns. Throws WriteFail.
void writeFileAtomic(const std::string& path, std::string_view data, Fs& fs = realFs());

/// Flushes a folder's names ("" is the current one) to the medium: an fsync
/// of the folder, or a sync of its whole file system where folders cannot be flushed alone.
/// 0 or the errno.
int syncFolder(const std::string& dir, Fs& fs = realFs());
/// Flushes the whole file system holding path (syncfs): data and names of many files at once.
/// 0 or the errno.
int syncFileSystem(const std::string& path, Fs& fs = realFs());

/// Whether name is one of writeFileAtomic's temporaries: "<name>.tmp-<pid>-<n>-<n>".
bool isAtomicTemp(std::string_view name);

/// Removes from dir (not below it) the temporaries of writeFileAtomic that a crash left behind:
/// only names isAtomicTemp accepts, on regular files changed before beforeNs (ns since the
/// epoch), that this process is not writing now and that no other running process here named.
/// Returns how many went.
int removeStaleTemps(const std::string& dir, int64_t beforeNs, Fs& fs = realFs());

/// Marks a temporary as being written by this process for its lifetime, so that another job's
/// cleanup in this process leaves it.
class LiveTemp {
 public:
  explicit LiveTemp(std::string path);
  ~LiveTemp();
  LiveTemp(const LiveTemp&) = delete;
  LiveTemp& operator=(const LiveTemp&) = delete;

 private:
  const std::string path_;
};
/// Whether this process holds a LiveTemp of path.
bool isLive(const std::string& path);

/// The wall clock in ns since the epoch, as file times are kept.
int64_t wallClockNs();

/// Creates a folder and its missing parents (0755), each new one flushed into its parent. False
/// when a level fails other than EEXIST, or a flush fails.
bool mkdirs(const std::string& path, Fs& fs = realFs());

/// Reads a whole file; false when it cannot be opened or read.
bool readFile(const std::string& path, std::string* out, Fs& fs = realFs());

/// True when something (file, folder, anything) exists at path.
bool exists(const std::string& path, Fs& fs = realFs());
/// path itself when something is there, else its nearest existing ancestor ("/" or "." at worst):
/// a destination that does not exist yet is judged by the folder it will be made in.
std::string nearestExisting(const std::string& path, Fs& fs = realFs());

}  // namespace tolverdine
