// Unmounts a volume and powers its drive off, so the card can be pulled.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tolverdine {

struct EjectFailure {
  std::string description;
};

class Ejector {
 public:
  virtual ~Ejector() = default;
  /// Absent on success. Blocks for up to a few seconds: call it off the main thread.
  virtual std::optional<EjectFailure> eject(const std::string& mountPoint) = 0;
};

/// UDisks2 on the system bus (unmount, then power off the drive); as root without UDisks2,
/// umount2. Powering off is best effort: once unmounted, the card may be pulled.
class UDisksEjector : public Ejector {
 public:
  explicit UDisksEjector(int timeoutMs = 20000, std::string mountinfoPath = "/proc/self/mountinfo")
      : timeoutMs_(timeoutMs), mountinfo_(std::move(mountinfoPath)) {}
  std::optional<EjectFailure> eject(const std::string& mountPoint) override;

 private:
  int timeoutMs_;
  std::string mountinfo_;
};

/// Answers from `results` in order (success once they run out) and records every call. eject runs
/// on the application's background threads while a test reads calls() on its own.
class FakeEjector : public Ejector {
 public:
  std::deque<std::optional<EjectFailure>> results;  // set before the first eject
  std::optional<EjectFailure> eject(const std::string& mountPoint) override {
    std::lock_guard lock(m_);
    calls_.push_back(mountPoint);
    if (results.empty()) return std::nullopt;
    auto r = results.front();
    results.pop_front();
    return r;
  }
  std::vector<std::string> calls() const {
    std::lock_guard lock(m_);
    return calls_;
  }

 private:
  mutable std::mutex m_;
  std::vector<std::string> calls_;
};

}  // namespace tolverdine
