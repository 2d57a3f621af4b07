// Desktop notifications of a card's verdict.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tolverdine {

class Notifier {
 public:
  virtual ~Notifier() = default;
  /// Returns at once; delivery happens in the background and failures are dropped.
  virtual void notify(const std::string& title, const std::string& body, bool critical) = 0;
};

/// org.freedesktop.Notifications on the session bus; skipped without a bus.
class DbusNotifier : public Notifier {
 public:
  explicit DbusNotifier(int timeoutMs = 2000);
  ~DbusNotifier() override;
  DbusNotifier(const DbusNotifier&) = delete;
  DbusNotifier& operator=(const DbusNotifier&) = delete;
  void notify(const std::string& title, const std::string& body, bool critical) override;
  /// The call itself, on the calling thread: true when the notification server took it.
  bool notifyNow(const std::string& title, const std::string& body, bool critical);
  /// Waits until every queued notification was tried (for tests and shutdown).
  void drain();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class FakeNotifier : public Notifier {
 public:
  struct Call {
    std::string title, body;
    bool critical;
  };
  std::vector<Call> calls;
  void notify(const std::string& title, const std::string& body, bool critical) override {
    calls.push_back({title, body, critical});
  }
};

}  // namespace tolverdine
