#include "engine/reports/anonymous_tree.h"

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

TEST(AnonymousTree, CountsExtensionsHidesNamesAndStopsAtDepth) {
  TempDir d;
  mkdirs(d.path + "/DCIM/100GOPRO/deep/deeper");
  mkdirs(d.path + "/.Trashes/x");
  writeFile(d.path + "/DCIM/100GOPRO/GX010001.MP4", "x");
  writeFile(d.path + "/DCIM/100GOPRO/gx010002.mp4", "x");
  writeFile(d.path + "/DCIM/100GOPRO/README", "x");
  writeFile(d.path + "/DCIM/100GOPRO/.hidden.mp4", "x");
  writeFile(d.path + "/DCIM/100GOPRO/deep/deeper/secret.txt", "x");
  writeFile(d.path + "/MISC.TXT", "x");
  ASSERT_EQ(::symlink("/", (d.path + "/root-link").c_str()), 0);  // not followed
  EXPECT_EQ(
      anonymousTree(d.path, 2),
      "*.(없음) × 1\n*.TXT × 1\nDCIM/\n  100GOPRO/\n    *.(없음) × 1\n    *.MP4 × 2\n    deep/");
  EXPECT_NE(anonymousTree(d.path, 5).find("      deeper/\n        *.TXT × 1"), std::string::npos);
  EXPECT_EQ(anonymousTree(d.path + "/missing", 5), "");
  EXPECT_EQ(anonymousTreeHeader("1.2"), "TOLVERDINE 1.2 · 폴더 구조 (파일 내용·이름 없음)");
}

}  // namespace
}  // namespace tolverdine
