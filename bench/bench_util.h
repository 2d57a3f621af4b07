// Small helpers the benchmark programs share.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "os/fd.h"

namespace tolverdine::bench {

/// Seconds on the steady clock.
inline double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

/// The middle value (the upper one of an even count); 0 for none.
inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

/// Appends size random bytes to fd; exits the program when the disk takes less.
inline void writeRandom(int fd, size_t size, std::mt19937_64& rng) {
  std::vector<uint64_t> buf(1 << 17);
  while (size > 0) {
    for (auto& w : buf) w = rng();
    size_t n = std::min(size, buf.size() * sizeof(uint64_t));
    if (::write(fd, buf.data(), n) != static_cast<ssize_t>(n)) std::exit(1);
    size -= n;
  }
}

/// Writes size random bytes to path (replacing it), flushed to the medium when sync; exits the
/// program when the disk takes less.
inline void fill(const std::string& path, size_t size, std::mt19937_64& rng, bool sync) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  writeRandom(fd.get(), size, rng);
  if (sync) ::fsync(fd.get());
}

/// Tells a profiler started with "perf record -D -1 --control fifo:F" (F named by
/// BENCH_PERF_CTL) to record only while the step under study runs; nothing without it.
inline void perfControl(bool on) {
  const char* ctl = std::getenv("BENCH_PERF_CTL");
  if (!ctl) return;
  UniqueFd fd(::open(ctl, O_WRONLY | O_CLOEXEC));
  const char* cmd = on ? "enable\n" : "disable\n";
  if (fd) (void)!::write(fd.get(), cmd, std::char_traits<char>::length(cmd));
}

}  // namespace tolverdine::bench
