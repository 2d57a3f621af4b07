#include "platform/volume_watcher.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "testing/test_util.h"

namespace tolverdine {

namespace fs = std::filesystem;

namespace {
// The events told, each in one line: "+" mounted or "-" unmounted, the path, r(emovable), i(mage).
struct Events {
  std::vector<std::string> got;
  VolumeHandler handler() {
    return [this](const VolumeEvent& e) {
      got.push_back((e.kind == VolumeEvent::Kind::mounted ? "+" : "-") + e.path.value_or("?") +
                    (e.removable ? " r" : "") + (e.diskImage ? " i" : ""));
    };
  }
};

// Iterates ctx until n events were told, at most 10 s.
bool waitFor(GMainContext* ctx, Events& ev, size_t n) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    while (g_main_context_iteration(ctx, FALSE)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (ev.got.size() < n && std::chrono::steady_clock::now() < end);
  return ev.got.size() >= n;
}

// One disk under sysfs: devices/<chain>/<disk>/<disk><n>, linked from class/block.
void fakeDisk(const std::string& sys, const std::string& chain, const std::string& disk, int parts,
              const std::string& removable) {
  std::string d = sys + "/devices/" + chain + "/" + disk;
  fs::create_directories(d + "/device");
  fs::create_directories(sys + "/class/block");
  writeFile(d + "/removable", removable + "\n");
  writeFile(d + "/device/model", "Model " + disk + "  \n");
  fs::create_symlink(d, sys + "/class/block/" + disk);
  for (int n = 1; n <= parts; ++n) {
    const std::string part = disk + std::to_string(n);
    fs::create_directories(d + "/" + part);
    writeFile(d + "/" + part + "/partition", std::to_string(n) + "\n");
    fs::create_symlink(d + "/" + part, sys + "/class/block/" + part);
  }
}

// The mount table of (mount point, source) rows.
std::string table(const std::vector<std::pair<std::string, std::string>>& rows) {
  std::string t;
  for (const auto& [mp, src] : rows)
    t += std::to_string(t.size()) + " 1 8:1 / " + mp + " rw,relatime shared:1 - ext4 " + src +
         " rw\n";
  return t;
}
}  // namespace

TEST(VolumeWatcher, MountTableChangesOnFakeDevices) {
  TempDir t;
  std::string sys = t.path + "/sys", vol = t.path + "/vol", info = t.path + "/mountinfo";
  fakeDisk(sys, "pci0/usb2/2-1/2-1:1.0/host3/target3/3:0:0:0/block", "sdz", 1, "0");
  fakeDisk(sys, "pci0/ata1/host0/block", "sdx", 2, "1");  // flagged removable, but carries /
  fs::create_directories(vol + "/CARD A");
  fs::create_directories(vol + "/DATA");
  const std::pair<std::string, std::string> root{"/", "/dev/sdx1"},
      data{vol + "/DATA", "/dev/sdx2"}, late{vol + "/LATE", "/dev/sdz1"};
  writeFile(info,
            table({root, {vol + "/CARD\\040A", "/dev/sdz1"}, data, late, {vol + "/tmp", "tmpfs"}}));
  GMainContext* ctx = g_main_context_new();
  {
    Events ev;
    LinuxVolumeWatcher w({{vol + "/"}, false, ctx, sys, info});
    w.start(ev.handler());
    waitFor(ctx, ev, 2);
    // LATE does not exist (yet), tmpfs is no device; the card is on USB although its flag is 0,
    // DATA is on the system volume's disk.
    std::sort(ev.got.begin(), ev.got.end());
    EXPECT_EQ(ev.got, (std::vector<std::string>{"+" + vol + "/CARD A r", "+" + vol + "/DATA"}));
    w.rescan();
    EXPECT_EQ(ev.got.size(), 2u);  // nothing changed, nothing told
    // The card moves to the folder that now exists.
    writeFile(info, table({root, data, late}));
    fs::create_directories(vol + "/LATE");
    w.rescan();
    EXPECT_EQ(ev.got, (std::vector<std::string>{"+" + vol + "/CARD A r", "+" + vol + "/DATA",
                                                "-" + vol + "/CARD A r", "+" + vol + "/LATE r"}));
  }
  g_main_context_unref(ctx);
}

TEST(VolumeWatcher, LoopMountedImageAppearsAndDisappears) {
  LoopMount m(8);
  SKIP_UNLESS_MOUNTED(m);
  std::string prefix = parentPath(m.path()) + "/";
  GMainContext* ctx = g_main_context_new();
  {
    Events ev, plain;
    LinuxVolumeWatcher w({{prefix}, true, ctx, "/sys", "/proc/self/mountinfo"});
    LinuxVolumeWatcher p({{prefix}, false, ctx, "/sys", "/proc/self/mountinfo"});
    w.start(ev.handler());
    p.start(plain.handler());
    ASSERT_TRUE(waitFor(ctx, ev, 1));  // mounted before the watcher started
    ASSERT_TRUE(waitFor(ctx, plain, 1));
    EXPECT_EQ(plain.got, std::vector<std::string>{"+" + m.path() + " i"})
        << "an image is no card unless asked for";
    m.pull();
    ASSERT_TRUE(waitFor(ctx, ev, 2));
    ASSERT_TRUE(m.remount());
    ASSERT_TRUE(waitFor(ctx, ev, 3));
    EXPECT_EQ(ev.got, (std::vector<std::string>{"+" + m.path() + " r i", "-" + m.path() + " r",
                                                "+" + m.path() + " r i"}));
  }
  g_main_context_unref(ctx);
}

}  // namespace tolverdine
