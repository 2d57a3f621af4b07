// A flag that one thread raises and another waits on in rounds: a helper beside a copy does a
// round of its work each interval until the copy is over.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tolverdine {

class StopFlag {
 public:
  void raise() {
    {
      std::lock_guard lk(m_);
      raised_ = true;
    }
    cv_.notify_all();
  }
  bool raised() {
    std::lock_guard lk(m_);
    return raised_;
  }
  /// Waits until raised.
  void wait() {
    std::unique_lock lk(m_);
    cv_.wait(lk, [this] { return raised_; });
  }
  /// Waits at most `most`; true once raised.
  bool waitFor(std::chrono::milliseconds most) {
    std::unique_lock lk(m_);
    return cv_.wait_for(lk, most, [this] { return raised_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool raised_ = false;
};

}  // namespace tolverdine
