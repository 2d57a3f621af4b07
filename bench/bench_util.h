// Small helpers the benchmark programs share.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

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

}  // namespace tolverdine::bench
