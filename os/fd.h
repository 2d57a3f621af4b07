// Owner of one POSIX file descriptor.
#pragma once

#include <unistd.h>

#include <utility>

namespace tolverdine {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  /// Closes the held descriptor; returns close()'s result (0 when none was held).
  int reset(int fd = -1) {
    int rc = 0;
    if (fd_ >= 0) rc = ::close(fd_);
    fd_ = fd;
    return rc;
  }

 private:
  int fd_ = -1;
};

}  // namespace tolverdine
