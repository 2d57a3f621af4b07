// One background thread running queued tasks in order, so slow calls never hold up the caller.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tolverdine {

class SerialWorker {
 public:
  SerialWorker() : thread_([this] { run(); }) {}
  /// Runs what is queued, then joins.
  ~SerialWorker() {
    {
      std::lock_guard<std::mutex> l(m_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;

  void post(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> l(m_);
      tasks_.push_back(std::move(task));
    }
    cv_.notify_all();
  }
  /// Waits until the queue is empty and no task runs.
  void drain() {
    std::unique_lock<std::mutex> l(m_);
    idle_.wait(l, [this] { return tasks_.empty() && !busy_; });
  }

 private:
  void run() {
    std::unique_lock<std::mutex> l(m_);
    for (;;) {
      cv_.wait(l, [this] { return stop_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      auto t = std::move(tasks_.front());
      tasks_.pop_front();
      busy_ = true;
      l.unlock();
      t();
      l.lock();
      busy_ = false;
      if (tasks_.empty()) idle_.notify_all();
    }
  }
  std::mutex m_;
  std::condition_variable cv_, idle_;
  std::deque<std::function<void()>> tasks_;
  bool stop_ = false, busy_ = false;
  std::thread thread_;  // last: starts after the rest is built
};

}  // namespace tolverdine
