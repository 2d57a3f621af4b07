#include "os/log_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <mutex>

namespace tolverdine {

bool appendLogLine(const std::string& path, const std::string& line) noexcept {
  static std::mutex mu;
  std::lock_guard<std::mutex> g(mu);
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::string text = line + "\n";
  ssize_t n = ::write(fd, text.data(), text.size());
  ::close(fd);
  return n == static_cast<ssize_t>(text.size());
}

}  // namespace tolverdine
