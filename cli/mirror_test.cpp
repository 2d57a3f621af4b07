#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "engine/base/text.h"

namespace tolverdine {
namespace {

// The card of Cli lands in the project folder of each destination named after today.
std::string projectFolder(const std::string& dest) {
  RunResult r =
      runProcess({"/bin/sh", "-c", "ls -d '" + dest + "'/*_봄"}, {}).value_or(RunResult{});
  std::string p = r.out;
  while (!p.empty() && p.back() == '\n') p.pop_back();
  return p;
}

TEST(StorageCommands, MirrorStorageSecondCopyAndReclassify) {
  Cli c;
  LoopMount xfs(320, "xfs");
  LoopMount ext4(64);
  SKIP_UNLESS_MOUNTED(xfs);
  SKIP_UNLESS_MOUNTED(ext4);
  EXPECT_EQ(c.run({c.card, "--project", "봄", "--dest", c.d1, "--storage", "APFS"}).status, 64);

  auto mixed = c.run({c.card, "--project", "봄", "--dest", xfs.path(), "--dest", ext4.path(),
                      "--storage", "auto"});
  EXPECT_EQ(mixed.status, 0) << mixed.out << mixed.err;
  EXPECT_NE(mixed.out.find("보관 방식: 분류만"), std::string::npos) << mixed.out;
  const std::string split = projectFolder(ext4.path());
  ASSERT_FALSE(split.empty());
  EXPECT_FALSE(exists(split + "/_카드원본"));
  EXPECT_TRUE(exists(split + "/01_원본"));

  // On a cloning drive alone, auto mirrors the card and adds the classified view.
  Cli m;
  mkdirs(xfs.path() + "/m");
  auto mirrored = m.run({m.card, "--project", "봄", "--dest", xfs.path() + "/m", "--copies", "1",
                         "--storage", "auto"});
  EXPECT_EQ(mirrored.status, 0) << mirrored.out << mirrored.err;
  EXPECT_NE(mirrored.out.find("보관 방식: 원본 + 분류 뷰"), std::string::npos) << mirrored.out;
  const std::string root = projectFolder(xfs.path() + "/m");
  ASSERT_FALSE(root.empty());
  auto views = runProcess({"/bin/sh", "-c", "cd '" + root + "' && find 01_원본 -type f | sort"}, {})
                   .value_or(RunResult{});
  auto reel =
      runProcess({"/bin/sh", "-c", "cd '" + root + "' && find _카드원본 -type f | sort"}, {})
          .value_or(RunResult{});
  EXPECT_NE(views.out.find("C0001.MP4"), std::string::npos) << views.out;
  EXPECT_NE(reel.out.find("PRIVATE/M4ROOT/CLIP/C0001.MP4"), std::string::npos) << reel.out;

  // The second copy onto a drive that cannot clone: everything copied, no views, exit 0.
  const std::string second = ext4.path() + "/second/" + lastComponent(root);
  mkdirs(parentPath(second));
  auto mir = m.run({root, second}, "mirror");
  EXPECT_EQ(mir.status, 0) << mir.out << mir.err;
  EXPECT_NE(mir.out.find("복사 3 · 기존 0 · 실패 0"), std::string::npos) << mir.out;
  EXPECT_FALSE(exists(second + "/01_원본"));
  EXPECT_EQ(m.run({root, ext4.path() + "/nodrive/x"}, "mirror").status, 2);

  // Moving a clip of the view to another class.
  std::string clip = views.out.substr(0, views.out.find('\n'));
  ASSERT_NE(clip.find("C000"), std::string::npos) << views.out;
  auto moved = m.run({root, clip, "interview"}, "reclassify");
  EXPECT_EQ(moved.status, 0) << moved.out << moved.err;
  EXPECT_NE(moved.out.find("옮김: "), std::string::npos) << moved.out;
  EXPECT_FALSE(exists(root + "/" + clip));
  auto again = m.run({root, "01_원본/A캠/없음.MP4", "interview"}, "reclassify");
  EXPECT_NE(again.status, 0);
}

}  // namespace
}  // namespace tolverdine
