// Turns the application's change signals into numbered snapshots for the page's event streams:
// a state change is published at once, progress at most once per `minGap`.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "web/ui_backend.h"

namespace tolverdine::web {

class EventHub {
 public:
  struct Snapshot {
    uint64_t version;
    std::string data;
  };

  /// `snapshot` is called on the hub's own thread, never under the hub's lock.
  EventHub(std::function<std::string()> snapshot, std::chrono::milliseconds minGap);
  ~EventHub();
  EventHub(const EventHub&) = delete;
  EventHub& operator=(const EventHub&) = delete;

  void post(Change c);
  /// The newest snapshot once its version is above `seen`; absent on timeout or after stop().
  std::optional<Snapshot> next(uint64_t seen, std::chrono::milliseconds timeout);
  /// Wakes every waiter for good.
  void stop();
  bool stopped();

 private:
  void run();

  std::function<std::string()> snapshot_;
  const std::chrono::milliseconds minGap_;
  std::mutex mu_;
  std::condition_variable wake_;       // the publisher
  std::condition_variable published_;  // the streams
  bool stop_ = false;
  bool pendingState_ = false;
  bool pendingProgress_ = false;
  Snapshot current_{0, ""};
  std::chrono::steady_clock::time_point lastPush_{};
  std::thread thread_;
};

}  // namespace tolverdine::web
