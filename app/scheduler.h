// The application's main thread: work handed to it from any thread, and timers on it.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

typedef struct _GMainContext GMainContext;

namespace tolverdine {

class Scheduler {
 public:
  virtual ~Scheduler() = default;
  /// Runs fn on the main thread soon; callable from any thread.
  virtual void post(std::function<void()> fn) = 0;
  /// Runs fn on the main thread once after delay; call from the main thread.
  virtual void after(std::chrono::milliseconds delay, std::function<void()> fn) = 0;
};

/// A GLib main context (g_main_context_invoke for posts, timeout sources for timers).
class GlibScheduler : public Scheduler {
 public:
  /// context null: the default main context.
  explicit GlibScheduler(GMainContext* context = nullptr);
  ~GlibScheduler() override;
  GlibScheduler(const GlibScheduler&) = delete;
  GlibScheduler& operator=(const GlibScheduler&) = delete;
  void post(std::function<void()> fn) override;
  void after(std::chrono::milliseconds delay, std::function<void()> fn) override;

 private:
  GMainContext* context_;
};

/// Tests: posts queue up until runPending(); timers fire only when advance() passes them.
class ManualScheduler : public Scheduler {
 public:
  void post(std::function<void()> fn) override {
    std::lock_guard<std::mutex> l(m_);
    posted_.push_back(std::move(fn));
  }
  void after(std::chrono::milliseconds delay, std::function<void()> fn) override {
    timers_.push_back({now_ + delay, seq_++, std::move(fn)});
  }
  /// Runs every posted task (also those posted meanwhile); returns how many ran.
  int runPending() {
    int n = 0;
    for (;;) {
      std::vector<std::function<void()>> batch;
      {
        std::lock_guard<std::mutex> l(m_);
        batch.swap(posted_);
      }
      if (batch.empty()) return n;
      for (auto& f : batch) f(), ++n;
    }
  }
  /// Moves the test clock on, firing due timers in time order.
  void advance(std::chrono::milliseconds d) {
    auto end = now_ + d;
    for (;;) {
      runPending();
      size_t best = timers_.size();
      for (size_t i = 0; i < timers_.size(); ++i)
        if (timers_[i].at <= end &&
            (best == timers_.size() || timers_[i].at < timers_[best].at ||
             (timers_[i].at == timers_[best].at && timers_[i].seq < timers_[best].seq)))
          best = i;
      if (best == timers_.size()) break;
      auto t = std::move(timers_[best]);
      timers_.erase(timers_.begin() + static_cast<long>(best));
      now_ = t.at;
      t.fn();
    }
    now_ = end;
    runPending();
  }
  size_t timers() const { return timers_.size(); }

 private:
  struct Timer {
    std::chrono::milliseconds at;
    long seq;
    std::function<void()> fn;
  };
  std::mutex m_;
  std::vector<std::function<void()>> posted_;
  std::vector<Timer> timers_;
  std::chrono::milliseconds now_{0};
  long seq_ = 0;
};

}  // namespace tolverdine
