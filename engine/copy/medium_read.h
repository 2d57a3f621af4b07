// Reading a file from the medium rather than the page cache, and the aligned buffers that needs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

#include "os/fd.h"
#include "os/fs.h"

namespace tolverdine {

/// Page-aligned heap buffer; empty (data() null) when allocation failed.
class AlignedBuffer {
 public:
  AlignedBuffer(size_t size, size_t align);
  ~AlignedBuffer();
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  char* data() const { return p_; }
  size_t size() const { return size_; }

 private:
  char* p_ = nullptr;
  size_t size_ = 0;
};

/// A read-only descriptor that reads the medium: O_DIRECT where the file system takes it, else
/// buffered reads; either way the file's cached pages are dropped when it is opened (and, read
/// buffered, behind each read). With cached true it is a plain buffered descriptor.
class MediumReader {
 public:
  explicit MediumReader(Fs& fs = realFs()) : fs_(fs) {}
  /// Returns the open errno on failure.
  int open(const std::string& path, bool cached);
  int fd() const { return fd_.get(); }

  /// Fills buf (aligned, n a multiple of 4096 for direct reads) with up to n bytes; fewer only
  /// at end of file. Throws IOFail{errno, dest}, EIO when the reads end before the file's size.
  size_t fill(char* buf, size_t n, std::optional<int> dest);

 private:
  void leaveDirect(std::optional<int> dest);

  Fs& fs_;
  UniqueFd fd_;
  bool direct_ = false;  // O_DIRECT is on
  bool advise_ = false;  // buffered, but drop what we read
  off_t pos_ = 0;
  off_t size_ = -1;  // the file's size when opened direct; -1 unknown
};

/// Drops the clean cached pages of [off, off+len) (len 0: to the end). Dirty pages stay, so
/// written data must be flushed first.
void dropCached(int fd, off_t off = 0, off_t len = 0, Fs& fs = realFs());

}  // namespace tolverdine
