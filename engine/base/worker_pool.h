// A fixed set of worker threads shared by every copy and read-back of the process, so that no
// thread is started per file or per block.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tolverdine {

/// Runs submitted jobs on its threads. A job must never wait for another job of the pool (the
/// pool is bounded); only threads outside the pool wait, through TaskGroup.
class WorkerPool {
 public:
  explicit WorkerPool(size_t threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  /// The process's pool, started on first use.
  static WorkerPool& shared();
  /// True on a thread of any WorkerPool: such code must do its work inline instead of waiting.
  static bool onWorker();

  void submit(std::function<void()> job);

 private:
  void run();

  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

/// Jobs submitted together and awaited together.
class TaskGroup {
 public:
  explicit TaskGroup(WorkerPool& pool = WorkerPool::shared()) : pool_(pool) {}
  ~TaskGroup() { wait(); }
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  void run(std::function<void()> job);
  void wait();
  /// True when no job of the group is pending or running.
  bool idle();

 private:
  WorkerPool& pool_;
  std::mutex m_;
  std::condition_variable done_;
  size_t pending_ = 0;
};

/// Runs f(i) for every i < n on the shared pool and waits for all; inline on a pool worker, which
/// may not wait for other workers, and for a single item.
template <class F> void parallelFor(size_t n, F f) {
  if (n == 1 || WorkerPool::onWorker()) {
    for (size_t i = 0; i < n; ++i) f(i);
    return;
  }
  TaskGroup group;
  for (size_t i = 0; i < n; ++i) group.run([&f, i] { f(i); });
  group.wait();
}

}  // namespace tolverdine
