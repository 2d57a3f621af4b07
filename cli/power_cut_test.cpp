// The drives as a power cut leaves them the moment the command ends: each drive's image is copied
// as soon as the command exits, and the copy is mounted as after a reboot.
#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "engine/base/files.h"
#include "engine/base/names.h"
#include "engine/base/text.h"
#include "engine/copy/copy.h"
#include "engine/store/store.h"

namespace tolverdine {
namespace {

// What the device holds now: whatever the file system has not yet sent it is not in the copy.
std::string imageNow(const LoopMount& drive, const std::string& to) {
  EXPECT_EQ(sh("cp --sparse=always '" + drive.image() + "' '" + to + "'"), 0);
  return to;
}

class PowerCut : public ::testing::TestWithParam<const char*> {};

TEST_P(PowerCut, EveryVerifiedCopyIsUnderItsNameWithItsListsAndReportsWhenTheCommandEnds) {
  const std::string type = GetParam();
  const int mib = type == "xfs" ? 320 : 160;
  Cli c;
  writePattern(c.card + "/PRIVATE/M4ROOT/CLIP/C0003.MP4", kBlockSize + 4097, 9);  // several blocks
  LoopMount a(mib, type), b(mib, type), m(mib, type);
  SKIP_UNLESS_MOUNTED(a);
  SKIP_UNLESS_MOUNTED(b);
  SKIP_UNLESS_MOUNTED(m);

  auto ingest = c.run({c.card, "--project", "p", "--dest", a.path(), "--dest", b.path()});
  std::map<std::string, std::string> images = {{a.path(), imageNow(a, c.dir.path + "/a.img")},
                                               {b.path(), imageNow(b, c.dir.path + "/b.img")}};
  ASSERT_EQ(ingest.status, 0) << ingest.out;
  const std::string project = lastComponent(only("'" + a.path() + "'/*_p"));
  auto mirror = c.run({a.path() + "/" + project, m.path() + "/" + project}, "mirror");
  images[m.path()] = imageNow(m, c.dir.path + "/m.img");
  ASSERT_EQ(mirror.status, 0) << mirror.out;

  // Every copy the store holds as verified, by drive (a drive's copies keep its mount's path).
  std::map<std::string, std::vector<Entry>> verified;
  {
    Store s(c.db);
    for (const std::string& root : s.verifiedRoots())
      for (const auto& [mnt, img] : images)
        if (root.rfind(mnt + "/", 0) == 0) verified[mnt] = s.verifiedEntries(root);
  }
  for (LoopMount* d : {&a, &b, &m}) d->pull();

  for (const auto& [mnt, img] : images) {
    SCOPED_TRACE(type + " " + mnt);
    const std::string after = img + ".mnt";
    mkdirs(after);
    ASSERT_EQ(sh("mount -o loop '" + img + "' '" + after + "'"), 0);
    const std::string root = after + "/" + project;
    ASSERT_EQ(verified[mnt].size(), 4u) << "every card file verified on every drive";
    const std::string lists = shellOutput("cat '" + root + "/ascmhl/'*.mhl").out;
    for (const Entry& e : verified[mnt]) {
      const std::string file = lastComponent(e.rel);
      EXPECT_EQ(
          hashFile(root + "/" + e.rel),
          hashFile(c.card + "/PRIVATE/M4ROOT/" + (file == "STATUS.BIN" ? "" : "CLIP/") + file))
          << e.rel;
      EXPECT_NE(lists.find(e.rel + "</path>"), std::string::npos) << e.rel << " not in a hash list";
    }
    EXPECT_EQ(shellOutput("find '" + root + "' -name '*.part' -o -name '*.tmp-*'").out, "");
    auto check = c.run({root}, "verify");
    EXPECT_EQ(check.status, 0) << check.out;
    if (mnt != m.path()) {
      const std::string reports = root + "/" + NameSet::ko().reports;
      for (const char* kind : {"*.pdf", "*_clips.csv", "*_job.json"})
        EXPECT_EQ(sh("test -s \"$(ls '" + reports + "'/" + kind + " | head -1)\""), 0) << kind;
    }
    sh("umount '" + after + "'");
  }
}

INSTANTIATE_TEST_SUITE_P(FileSystems, PowerCut, ::testing::Values("ext4", "xfs", "btrfs"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace tolverdine
