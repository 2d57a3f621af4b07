// Mount and unmount events of removable volumes, the signal that starts the card workflow.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct _GMainContext GMainContext;

namespace tolverdine {

struct VolumeEvent {
  enum class Kind { mounted, unmounted };
  Kind kind = Kind::mounted;
  std::optional<std::string> path;  // mount point; for unmounted, the one it had
  std::optional<std::string> name;  // volume label
  bool removable = false;
  std::optional<std::string> bsd;  // kernel block device name (sdb1, mmcblk0p1, loop3)
  bool diskImage = false;          // always false in unmounted events
};

using VolumeHandler = std::function<void(const VolumeEvent&)>;

/// What the platform reports about one block device when it appears, changes or goes away.
struct DiskInfo {
  std::optional<std::string> path;  // absent: not mounted (any more)
  std::optional<std::string> name;
  bool removable = false;
  bool internal = false;
  std::optional<std::string> model;
  std::optional<std::string> protocol;
  std::optional<std::string> bsd;
};

/// Turns device notifications into events: a repeated notification for the same mount gives no
/// second event, mounts outside the prefixes are ignored and not remembered, and an unmount of a
/// device never announced gives nothing.
class VolumeEventFilter {
 public:
  explicit VolumeEventFilter(std::vector<std::string> prefixes) : prefixes_(std::move(prefixes)) {}
  /// The device appeared or its mount point changed (info.path absent: unmounted, still attached).
  std::optional<VolumeEvent> changed(const DiskInfo& info);
  /// The device went away.
  std::optional<VolumeEvent> disappeared(const DiskInfo& info);
  /// BSD name -> mount point of the volumes announced and not yet withdrawn.
  const std::map<std::string, std::string>& mounted() const { return mounted_; }

 private:
  std::optional<VolumeEvent> withdraw(const DiskInfo& info);
  std::vector<std::string> prefixes_;
  std::map<std::string, std::string> mounted_;
};

class VolumeWatcher {
 public:
  virtual ~VolumeWatcher() = default;
  /// Volumes already mounted are reported first, then every change, each to handler on the
  /// watcher's main context. Called once.
  virtual void start(VolumeHandler handler) = 0;
};

struct VolumeWatcherOptions {
  /// Mount-point prefixes that count besides /media/ and /run/media/ (each ending in "/").
  std::vector<std::string> extraPrefixes;
  /// Loop devices (disk images) count as removable: for tests and the demo.
  bool loopRemovable = false;
  /// Where handlers run; null: the default main context.
  GMainContext* context = nullptr;
  std::string sysfsRoot = "/sys";
  std::string mountinfoPath = "/proc/self/mountinfo";
};

/// Polls the kernel mount table for changes, reads the device facts from sysfs.
class LinuxVolumeWatcher : public VolumeWatcher {
 public:
  explicit LinuxVolumeWatcher(VolumeWatcherOptions opt = {});
  ~LinuxVolumeWatcher() override;
  LinuxVolumeWatcher(const LinuxVolumeWatcher&) = delete;
  LinuxVolumeWatcher& operator=(const LinuxVolumeWatcher&) = delete;
  void start(VolumeHandler handler) override;
  /// Reads the mount table again and delivers what changed (the monitor calls it on a change).
  void rescan();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

/// Tests push events by hand.
class FakeVolumeWatcher : public VolumeWatcher {
 public:
  VolumeHandler handler;
  int starts = 0;
  void start(VolumeHandler h) override {
    handler = std::move(h);
    ++starts;
  }
  void emit(const VolumeEvent& e) {
    if (handler) handler(e);
  }
};

}  // namespace tolverdine
