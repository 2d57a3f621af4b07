#include "app/rate_meter.h"

#include <cmath>

namespace tolverdine {

void RateMeter::sample(int64_t done, Clock::time_point at) {
  if (!samples_.empty() && done < samples_.back().second) samples_.clear();
  samples_.emplace_back(at, done);
  // Keep one report older than the window, so the window is always spanned.
  while (samples_.size() > 2 && at - samples_[1].first >= window_) samples_.pop_front();
}

std::optional<double> RateMeter::rate() const {
  if (samples_.size() < 2) return std::nullopt;
  auto span = std::chrono::duration<double>(samples_.back().first - samples_.front().first).count();
  if (span < 0.5) return std::nullopt;
  return static_cast<double>(samples_.back().second - samples_.front().second) / span;
}

std::optional<int64_t> RateMeter::secondsLeft(int64_t total) const {
  auto r = rate();
  if (!r || *r <= 0 || samples_.empty()) return std::nullopt;
  int64_t left = total - samples_.back().second;
  if (left <= 0) return 0;
  return static_cast<int64_t>(std::ceil(static_cast<double>(left) / *r));
}

}  // namespace tolverdine
