#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "engine/base/text.h"

namespace tolverdine {
namespace {

TEST(StorageCommands, MirrorStorageSecondCopyAndReclassify) {
  Cli c;
  LoopMount xfs(320, "xfs"), ext4(64);
  SKIP_UNLESS_MOUNTED(xfs);
  SKIP_UNLESS_MOUNTED(ext4);
  // A cloning drive beside one that cannot clone: auto classifies only.
  auto mixed = c.run({c.card, "--project", "봄", "--dest", xfs.path(), "--dest", ext4.path(),
                      "--storage", "auto"});
  EXPECT_EQ(mixed.status, 0) << mixed.out << mixed.err;
  EXPECT_TRUE(has(mixed, "보관 방식: 분류만")) << mixed.out;

  // On a cloning drive alone, auto mirrors the card and adds the classified view.
  Cli m;
  mkdirs(xfs.path() + "/m");
  auto mirrored = m.run({m.card, "--project", "봄", "--dest", xfs.path() + "/m", "--copies", "1",
                         "--storage", "auto"});
  EXPECT_EQ(mirrored.status, 0) << mirrored.out << mirrored.err;
  EXPECT_TRUE(has(mirrored, "보관 방식: 원본 + 분류 뷰")) << mirrored.out;
  const std::string root = only("'" + xfs.path() + "/m'/*_봄");
  const std::string clip = shellOutput("cd '" + root + "' && find 01_원본 -name C0001.MP4").out;
  ASSERT_NE(clip.find("C0001.MP4\n"), std::string::npos) << root;

  // The second copy onto a drive that cannot clone: everything copied, no views.
  const std::string second = ext4.path() + "/second/" + lastComponent(root);
  mkdirs(parentPath(second));
  auto mir = m.run({root, second}, "mirror");
  EXPECT_EQ(mir.status, 0) << mir.out << mir.err;
  EXPECT_TRUE(has(mir, "복사 3 · 기존 0 · 실패 0")) << mir.out;
  EXPECT_EQ(m.run({root, ext4.path() + "/nodrive/x"}, "mirror").status, 2);

  // Moving a clip of the view to another class.
  auto moved = m.run({root, clip.substr(0, clip.size() - 1), "interview"}, "reclassify");
  EXPECT_EQ(moved.status, 0) << moved.out << moved.err;
  EXPECT_TRUE(has(moved, "옮김: ")) << moved.out;
  EXPECT_FALSE(exists(root + "/" + clip.substr(0, clip.size() - 1)));
  EXPECT_NE(m.run({root, "01_원본/A캠/없음.MP4", "interview"}, "reclassify").status, 0);
}

}  // namespace
}  // namespace tolverdine
