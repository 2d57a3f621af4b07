#include "platform/volume_watcher.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "testing/test_util.h"

namespace tolverdine {

namespace fs = std::filesystem;
using Kind = VolumeEvent::Kind;

TEST(VolumeWatcher, FilterSwallowsRepeatsAndUnknownUnmounts) {
  VolumeEventFilter f({"/media/"});
  DiskInfo card{"/media/u/A001", "A001", true, false, "SD Reader", "USB", "sdb1"};
  auto e = f.changed(card);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->kind, Kind::mounted);
  EXPECT_EQ(e->path, "/media/u/A001");
  EXPECT_TRUE(e->removable);
  EXPECT_FALSE(e->diskImage);
  EXPECT_FALSE(f.changed(card));  // appeared and description changed: one event

  DiskInfo internal{"/media/u/DATA", "DATA", true, true, "SSD", "SATA", "sda3"};
  auto in = f.changed(internal);
  ASSERT_TRUE(in);
  EXPECT_FALSE(in->removable);  // removable media in an internal bay is not a card

  DiskInfo elsewhere{"/mnt/x", "X", true, false, {}, {}, "sdc1"};
  EXPECT_FALSE(f.changed(elsewhere));
  EXPECT_EQ(f.mounted().count("sdc1"), 0u);
  elsewhere.path.reset();
  EXPECT_FALSE(f.changed(elsewhere));  // never announced, so no unmount either

  DiskInfo image{"/media/u/IMG", "IMG", false, false, "Disk Image", {}, "loop0"};
  EXPECT_TRUE(f.changed(image)->diskImage);
  EXPECT_FALSE(f.changed(DiskInfo{"/media/u/NOBSD", {}, true, false, {}, {}, {}}));

  DiskInfo gone = card;
  gone.path.reset();
  auto u = f.changed(gone);
  ASSERT_TRUE(u);
  EXPECT_EQ(u->kind, Kind::unmounted);
  EXPECT_EQ(u->path, "/media/u/A001");  // the path it had
  EXPECT_FALSE(f.disappeared(card));    // pulled afterwards: no second event
  EXPECT_FALSE(f.disappeared(DiskInfo{{}, {}, false, false, {}, {}, "sdz9"}));
  auto d = f.disappeared(image);
  ASSERT_TRUE(d);
  EXPECT_FALSE(d->diskImage);
}

namespace {
struct Events {
  std::vector<VolumeEvent> got;
  VolumeHandler handler() {
    return [this](const VolumeEvent& e) { got.push_back(e); };
  }
};

void pump(GMainContext* ctx) {
  while (g_main_context_iteration(ctx, FALSE)) {
  }
}

// Waits for n events, iterating ctx, at most 10 s.
bool waitFor(GMainContext* ctx, Events& ev, size_t n) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ev.got.size() < n && std::chrono::steady_clock::now() < end) {
    pump(ctx);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pump(ctx);
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

std::string line(int id, const std::string& mp, const std::string& src) {
  return std::to_string(id) + " 1 8:1 / " + mp + " rw,relatime shared:1 - ext4 " + src + " rw\n";
}
}  // namespace

TEST(VolumeWatcher, MountTableChangesOnFakeDevices) {
  TempDir t;
  std::string sys = t.path + "/sys", vol = t.path + "/vol";
  fakeDisk(sys, "pci0/usb2/2-1/2-1:1.0/host3/target3/3:0:0:0/block", "sdz", 1, "0");
  fakeDisk(sys, "pci0/ata1/host0/block", "sdx", 2, "1");  // flagged removable, but carries /
  fs::create_directories(vol + "/CARD A");
  fs::create_directories(vol + "/DATA");
  std::string table = t.path + "/mountinfo";
  writeFile(table, line(1, "/", "/dev/sdx1") + line(2, vol + "/CARD\\040A", "/dev/sdz1") +
                       line(3, vol + "/DATA", "/dev/sdx2") + line(4, vol + "/LATE", "/dev/sdz1") +
                       line(5, vol + "/tmp", "tmpfs"));

  GMainContext* ctx = g_main_context_new();
  {
    Events ev;
    LinuxVolumeWatcher w({{vol + "/"}, false, ctx, sys, table});
    w.start(ev.handler());
    pump(ctx);
    ASSERT_EQ(ev.got.size(), 2u);  // LATE does not exist (yet), tmpfs is no device
    std::map<std::string, VolumeEvent> by;
    for (auto& e : ev.got) by[*e.path] = e;
    const VolumeEvent& card = by[vol + "/CARD A"];
    EXPECT_TRUE(card.removable);  // on USB although the flag is 0
    EXPECT_EQ(card.bsd, "sdz1");
    EXPECT_EQ(card.name, "CARD A");
    EXPECT_FALSE(card.diskImage);
    ASSERT_TRUE(by.count(vol + "/DATA"));
    EXPECT_FALSE(by[vol + "/DATA"].removable);  // same disk as the system volume

    w.rescan();
    EXPECT_EQ(ev.got.size(), 2u);  // nothing changed, nothing told

    writeFile(table, line(1, "/", "/dev/sdx1") + line(3, vol + "/DATA", "/dev/sdx2") +
                         line(4, vol + "/LATE", "/dev/sdz1"));
    fs::create_directories(vol + "/LATE");
    w.rescan();
    ASSERT_EQ(ev.got.size(), 4u);
    EXPECT_EQ(ev.got[2].kind, Kind::unmounted);
    EXPECT_EQ(ev.got[2].path, vol + "/CARD A");
    EXPECT_EQ(ev.got[3].kind, Kind::mounted);  // the card moved to the folder that now exists
    EXPECT_EQ(ev.got[3].path, vol + "/LATE");

    writeFile(table, line(1, "/", "/dev/sdx1"));
    w.rescan();
    ASSERT_EQ(ev.got.size(), 6u);
    w.rescan();
    EXPECT_EQ(ev.got.size(), 6u);
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
    ASSERT_EQ(ev.got.size(), 1u);
    EXPECT_EQ(ev.got[0].kind, Kind::mounted);
    EXPECT_EQ(ev.got[0].path, m.path());
    EXPECT_TRUE(ev.got[0].diskImage && ev.got[0].removable);
    EXPECT_EQ(ev.got[0].bsd.value_or("").rfind("loop", 0), 0u);
    ASSERT_TRUE(waitFor(ctx, plain, 1));
    EXPECT_FALSE(plain.got[0].removable);  // an image is no card unless asked for

    m.pull();
    ASSERT_TRUE(waitFor(ctx, ev, 2));
    EXPECT_EQ(ev.got[1].kind, Kind::unmounted);
    EXPECT_EQ(ev.got[1].path, m.path());
    EXPECT_FALSE(ev.got[1].diskImage);

    ASSERT_TRUE(m.remount());
    ASSERT_TRUE(waitFor(ctx, ev, 3));
    EXPECT_EQ(ev.got[2].kind, Kind::mounted);
    EXPECT_EQ(ev.got.size(), 3u);
  }
  g_main_context_unref(ctx);
}

}  // namespace tolverdine
