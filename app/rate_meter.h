// Copy speed and time left of one running card, from its progress reports: the bytes done over
// the last few seconds, so a slow first file or a pause does not stick to the figure for long.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

namespace tolverdine {

class RateMeter {
 public:
  using Clock = std::chrono::steady_clock;
  explicit RateMeter(std::chrono::milliseconds window = std::chrono::seconds(5))
      : window_(window) {}

  /// A progress report; `done` going backwards (a new run) starts over.
  void sample(int64_t done, Clock::time_point at);
  /// Bytes per second over the window; absent until two reports lie at least 0.5 s apart.
  std::optional<double> rate() const;
  /// Whole seconds left for `total` at the current rate, rounded up; absent without a rate.
  std::optional<int64_t> secondsLeft(int64_t total) const;

 private:
  std::chrono::milliseconds window_;
  std::deque<std::pair<Clock::time_point, int64_t>> samples_;
};

}  // namespace tolverdine
