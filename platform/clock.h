// Wall-clock time and waiting, behind an interface so tests can drive countdowns and retries.
#pragma once

#include <chrono>

namespace tolverdine {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::system_clock::time_point now() = 0;
};

class SystemClock : public Clock {
 public:
  std::chrono::system_clock::time_point now() override { return std::chrono::system_clock::now(); }
};

/// Moves only when told to.
class FakeClock : public Clock {
 public:
  std::chrono::system_clock::time_point t{};
  std::chrono::system_clock::time_point now() override { return t; }
  void advance(std::chrono::milliseconds d) { t += d; }
};

}  // namespace tolverdine
