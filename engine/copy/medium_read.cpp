#include "engine/copy/medium_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "engine/base/records.h"

namespace tolverdine {
namespace {
constexpr size_t kDirectBlock = 4096;  // what a direct read's length must be a multiple of
}  // namespace

AlignedBuffer::AlignedBuffer(size_t size, size_t align) {
  void* p = nullptr;
  if (::posix_memalign(&p, align, size) == 0) {
    p_ = static_cast<char*>(p);
    size_ = size;
  }
}

AlignedBuffer::~AlignedBuffer() { std::free(p_); }

void dropCached(int fd, off_t off, off_t len, Fs& fs) {
  (void)fs.fadvise(fd, off, len, POSIX_FADV_DONTNEED);
}

int MediumReader::open(const std::string& path, bool cached) {
  if (!cached) {
    int fd = fs_.open(path, O_RDONLY | O_DIRECT);
    if (fd >= 0) {
      fd_.reset(fd);
      direct_ = true;
      // Direct reads leave the file's cached pages be; to a reader of the medium they are no
      // use (a copy just written and flushed would otherwise stay in memory after its read-back).
      dropCached(fd, 0, 0, fs_);
      struct stat st;
      if (fs_.fstat(fd, &st) == 0) size_ = st.st_size;
      return 0;
    }
    if (errno != EINVAL) return errno;  // EINVAL: this file system takes no direct I/O
  }
  int fd = fs_.open(path, O_RDONLY);
  if (fd < 0) return errno;
  fd_.reset(fd);
  if (cached) {
    (void)fs_.fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  } else {
    advise_ = true;
    dropCached(fd, 0, 0, fs_);  // pages cached earlier would otherwise answer instead of the medium
  }
  return 0;
}

void MediumReader::leaveDirect(std::optional<int> dest) {
  if (fs_.setDirect(fd_.get(), false) != 0) throw IOFail{errno, dest};
  direct_ = false;
  advise_ = true;
  dropCached(fd_.get(), pos_, 0, fs_);
}

size_t MediumReader::fill(char* buf, size_t n, std::optional<int> dest) {
  size_t got = 0;
  const off_t start = pos_;
  while (got < n) {
    size_t len = n - got;
    if (direct_ && size_ >= 0) {
      // A direct read fills the part of the buffer past the end of the file with zeros, which for
      // a small file read into a large buffer costs more than the read: ask for a block past it.
      const auto past = static_cast<size_t>(std::max<off_t>(size_ - pos_, 0)) + 1;
      len = std::min(len, (past + kDirectBlock - 1) / kDirectBlock * kDirectBlock);
    }
    ssize_t r = fs_.read(fd_.get(), buf + got, len);
    if (r < 0) {
      if (errno == EINTR) continue;
      // Direct I/O refused for this offset or length: go on buffered, from the medium.
      if (errno == EINVAL && direct_) {
        leaveDirect(dest);
        continue;
      }
      throw IOFail{errno, dest};
    }
    if (r == 0) {
      // The end, unless the file is longer: a read that ends early must not pass for a whole
      // file. A direct read gets one more try buffered.
      struct stat st;
      if (fs_.fstat(fd_.get(), &st) != 0 || pos_ >= st.st_size) break;
      if (direct_) {
        leaveDirect(dest);
        continue;
      }
      throw IOFail{EIO, dest};
    }
    got += static_cast<size_t>(r);
    pos_ += r;
    if (size_ >= 0 && pos_ > size_) size_ = -1;  // longer than it was: read on in whole buffers
    if (direct_ && got < n) {
      // A short direct read is the tail of the file (the kernel read its last block from the
      // device). Should the file be longer after all, the rest is unaligned: read it buffered.
      struct stat st;
      if (fs_.fstat(fd_.get(), &st) == 0 && pos_ >= st.st_size) break;
      leaveDirect(dest);
    }
  }
  if (advise_ && got > 0) dropCached(fd_.get(), start, static_cast<off_t>(got), fs_);
  return got;
}

}  // namespace tolverdine
