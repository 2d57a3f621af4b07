#include "platform/volume_uuid.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "testing/test_util.h"

namespace tolverdine {
namespace {

TEST(VolumeUUID, MountSourceTakesLongestMountPoint) {
  const std::string info =
      "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "30 22 0:5 / /media/card rw - vfat /dev/sdb1 rw\n"
      "31 22 0:6 / /media/card\\040two rw shared:2 master:3 - exfat /dev/sdc1 rw\n"
      "32 30 0:7 / /media/card/in rw - ext4 /dev/sdd1 rw\n"
      "33 22 0:8 / /media/card rw - vfat /dev/sde1 rw\n"
      "garbage line\n";
  EXPECT_EQ(mountSource("/media/card/DCIM/a.mov", info), "/dev/sde1")
      << "the later mount hides the earlier";
  EXPECT_EQ(mountSource("/media/card two/x", info), "/dev/sdc1");
  EXPECT_EQ(mountSource("/media/cardx/y", info), "/dev/sda1") << "a name prefix is no mount prefix";
  EXPECT_EQ(mountSource("/media/card/in/z", info), "/dev/sdd1");
}

TEST(VolumeUUID, ReadsTheCardFileSystem) {
  EXPECT_EQ(volumeUUID("/no/such/path"), std::nullopt);
  EXPECT_EQ(volumeUUID("/proc/self"), std::nullopt) << "proc has no device and no UUID";

  LoopMount a(16), b(16);
  SKIP_UNLESS_MOUNTED(a);
  SKIP_UNLESS_MOUNTED(b);
  std::filesystem::create_directories(a.path() + "/DCIM/100");
  const std::string want =
      shellOutput("blkid -p -s UUID -o value \"$(findmnt -n -o SOURCE --target '" + a.path() +
                  "')\" | tr -d '\\n'")
          .out;
  ASSERT_FALSE(want.empty()) << "blkid gave no UUID";
  EXPECT_EQ(volumeUUID(a.path()), want);
  std::filesystem::create_symlink(a.path() + "/DCIM", b.path() + "/link");
  EXPECT_EQ(volumeUUID(b.path() + "/link/100"), want) << "resolved through the link";
  EXPECT_NE(volumeUUID(b.path()).value_or(want), want);
}

}  // namespace
}  // namespace tolverdine
