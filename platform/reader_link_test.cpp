#include "platform/reader_link.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {

namespace fs = std::filesystem;

TEST(ReaderLink, ClimbsSysfsToTheUsbDevice) {
  TempDir t;
  std::string sys = t.path + "/sys";
  std::string usb = sys + "/devices/pci0/usb4/4-1";
  std::string disk = usb + "/4-1:1.0/host5/target5/5:0:0:0/block/sdc";
  fs::create_directories(disk + "/sdc1");
  writeFile(usb + "/speed", "5000\n");
  writeFile(usb + "/product", "SD Reader\n");
  writeFile(sys + "/devices/pci0/usb4/speed", "10000\n");  // the hub above must not win
  writeFile(sys + "/devices/pci0/usb4/product", "Root Hub\n");
  writeFile(usb + "/4-1:1.0/product", "Interface\n");  // nearest product name is kept
  fs::create_directories(sys + "/class/block");
  fs::create_symlink(disk + "/sdc1", sys + "/class/block/sdc1");
  std::string card = t.path + "/card";
  fs::create_directories(card);
  writeFile(t.path + "/mountinfo", "7 1 8:33 / " + card + " rw - exfat /dev/sdc1 rw\n");

  SysfsReaderLink r(sys, t.path + "/mountinfo");
  auto l = r.readerLink(card);
  ASSERT_TRUE(l);
  EXPECT_EQ(l->bps, 5'000'000'000);
  EXPECT_EQ(l->name, "Interface");
  EXPECT_FALSE(r.readerLink(t.path));  // not a mount point

  writeFile(usb + "/speed", "1.5\n");  // low-speed devices report a fraction
  EXPECT_EQ(r.forDevice("sdc1")->bps, 1'500'000);
  writeFile(usb + "/speed", "fast\n");  // unreadable: climb on to the hub
  EXPECT_EQ(r.forDevice("sdc1")->bps, 10'000'000'000);

  // An internal disk: no USB device anywhere above.
  fs::create_directories(sys + "/devices/pci0/ata1/block/sda/sda1");
  fs::create_symlink(sys + "/devices/pci0/ata1/block/sda/sda1", sys + "/class/block/sda1");
  EXPECT_FALSE(r.forDevice("sda1"));
  EXPECT_FALSE(r.forDevice("nosuch"));
  EXPECT_FALSE(r.forDevice("../../etc"));

  // A speed a few steps up, in megabits.
  const std::string deep = sys + "/devices/deep";
  fs::create_directories(deep + "/d0/d1");
  writeFile(deep + "/speed", "480\n");
  fs::create_symlink(deep + "/d0/d1", sys + "/class/block/sdd");
  EXPECT_EQ(r.forDevice("sdd")->label(), "480Mbps");
}

}  // namespace tolverdine
