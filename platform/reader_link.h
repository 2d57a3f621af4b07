// Through which USB link a card reader is attached, so a slow reader can be pointed out.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tolverdine {

struct ReaderLink {
  std::optional<std::string> name;  // USB product name
  int64_t bps = 0;                  // link speed, bits per second
  /// "480Mbps", "5Gbps".
  std::string label() const;
  /// Below 10 Gbit/s.
  bool slow() const { return bps < 10'000'000'000LL; }
};

class ReaderLinkProbe {
 public:
  virtual ~ReaderLinkProbe() = default;
  /// Absent when the volume's device has no USB link that reports a speed. May block briefly.
  virtual std::optional<ReaderLink> readerLink(const std::string& mountPoint) = 0;
};

/// Climbs the sysfs parents of the volume's block device to the first USB device with a speed.
class SysfsReaderLink : public ReaderLinkProbe {
 public:
  explicit SysfsReaderLink(std::string sysfsRoot = "/sys",
                           std::string mountinfoPath = "/proc/self/mountinfo")
      : sysfs_(std::move(sysfsRoot)), mountinfo_(std::move(mountinfoPath)) {}
  std::optional<ReaderLink> readerLink(const std::string& mountPoint) override;
  /// The walk alone, from a block device name (sdb1).
  std::optional<ReaderLink> forDevice(const std::string& bsd) const;

 private:
  std::string sysfs_, mountinfo_;
};

/// Gives every call the same answer. The application asks from its background threads, several
/// cards at once, so the answer is guarded.
class FakeReaderLink : public ReaderLinkProbe {
 public:
  void setAnswer(std::optional<ReaderLink> a) {
    std::lock_guard lock(m_);
    answer_ = std::move(a);
  }
  std::optional<ReaderLink> readerLink(const std::string&) override {
    std::lock_guard lock(m_);
    return answer_;
  }

 private:
  std::mutex m_;
  std::optional<ReaderLink> answer_;
};

}  // namespace tolverdine
