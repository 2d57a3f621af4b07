#include "engine/base/worker_pool.h"

#include <pthread.h>

namespace tolverdine {
namespace {
thread_local bool tWorker = false;
}

WorkerPool::WorkerPool(size_t threads) {
  threads_.reserve(threads);
  for (size_t i = 0; i < threads; ++i) {
    try {
      threads_.emplace_back([this] { run(); });
    } catch (const std::system_error&) {
      if (threads_.empty()) throw;  // with none at all nothing could ever run
      break;
    }
    pthread_setname_np(threads_.back().native_handle(), "tolverdine.io");
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard lk(m_);
    stop_ = true;
  }
  cv_.notify_all();
  for (auto& t : threads_) t.join();
}

WorkerPool& WorkerPool::shared() {
  // Enough for the writers of several destinations, the hasher and the read-backs at once; the
  // work is I/O bound, so this does not follow the core count.
  static WorkerPool pool(12);
  return pool;
}

bool WorkerPool::onWorker() { return tWorker; }

void WorkerPool::submit(std::function<void()> job) {
  {
    std::lock_guard lk(m_);
    jobs_.push_back(std::move(job));
  }
  cv_.notify_one();
}

void WorkerPool::run() {
  tWorker = true;
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock lk(m_);
      cv_.wait(lk, [&] { return stop_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

void TaskGroup::run(std::function<void()> job) {
  {
    std::lock_guard lk(m_);
    ++pending_;
  }
  pool_.submit([this, job = std::move(job)] {
    job();
    // Notified under the lock: the group may be destroyed as soon as wait() sees zero.
    std::lock_guard lk(m_);
    if (--pending_ == 0) done_.notify_all();
  });
}

bool TaskGroup::idle() {
  std::lock_guard lk(m_);
  return pending_ == 0;
}

void TaskGroup::wait() {
  std::unique_lock lk(m_);
  done_.wait(lk, [&] { return pending_ == 0; });
}

}  // namespace tolverdine
