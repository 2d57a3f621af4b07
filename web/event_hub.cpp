#include "web/event_hub.h"

namespace tolverdine::web {

EventHub::EventHub(std::function<std::string()> snapshot, std::chrono::milliseconds minGap)
    : snapshot_(std::move(snapshot)), minGap_(minGap) {
  current_ = {1, snapshot_()};
  lastPush_ = std::chrono::steady_clock::now();
  thread_ = std::thread([this] { run(); });
}

EventHub::~EventHub() {
  stop();
  thread_.join();
}

void EventHub::post(Change c) {
  std::lock_guard lk(mu_);
  (c == Change::state ? pendingState_ : pendingProgress_) = true;
  wake_.notify_one();
}

void EventHub::run() {
  std::unique_lock lk(mu_);
  while (true) {
    wake_.wait(lk, [&] { return stop_ || pendingState_ || pendingProgress_; });
    if (stop_) return;
    // Progress alone waits out the gap; a state change arriving meanwhile goes at once.
    auto due = lastPush_ + minGap_;
    while (!stop_ && !pendingState_ && std::chrono::steady_clock::now() < due)
      wake_.wait_until(lk, due);
    if (stop_) return;
    pendingState_ = pendingProgress_ = false;
    lk.unlock();
    std::string data = snapshot_();
    lk.lock();
    current_ = {current_.version + 1, std::move(data)};
    lastPush_ = std::chrono::steady_clock::now();
    published_.notify_all();
  }
}

std::optional<EventHub::Snapshot> EventHub::next(uint64_t seen, std::chrono::milliseconds timeout) {
  std::unique_lock lk(mu_);
  published_.wait_for(lk, timeout, [&] { return stop_ || current_.version > seen; });
  if (stop_ || current_.version <= seen) return std::nullopt;
  return current_;
}

void EventHub::stop() {
  std::lock_guard lk(mu_);
  stop_ = true;
  wake_.notify_all();
  published_.notify_all();
}

bool EventHub::stopped() {
  std::lock_guard lk(mu_);
  return stop_;
}

}  // namespace tolverdine::web
