#include "engine/base/rename.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

void expectNoReplace(const std::string& dir,
                     int (*move)(const std::string&, const std::string&, Fs&)) {
  auto fn = [&](const std::string& from, const std::string& to) {
    return move(from, to, realFs());
  };
  std::string a = dir + "/a.part", b = dir + "/a", got;
  writeFile(a, "new");
  writeFile(b, "old");
  EXPECT_EQ(fn(a, b), EEXIST);
  ASSERT_TRUE(readFile(a, &got));
  EXPECT_EQ(got, "new");
  ASSERT_TRUE(readFile(b, &got));
  EXPECT_EQ(got, "old");

  std::string c = dir + "/c";
  EXPECT_EQ(fn(a, c), 0);
  EXPECT_FALSE(exists(a));
  ASSERT_TRUE(readFile(c, &got));
  EXPECT_EQ(got, "new");
  EXPECT_EQ(fn(dir + "/missing", dir + "/d"), ENOENT);
}

TEST(RenameNoReplace, RefusesAnExistingTargetOnBothPaths) {
  TempDir t;
  expectNoReplace(t.path, renameNoReplace);
  TempDir u;
  expectNoReplace(u.path, renameByLink);
}

TEST(RenameNoReplace, RefusesOnExt4) {
  LoopMount m(8);
  SKIP_UNLESS_MOUNTED(m);
  expectNoReplace(m.path(), renameNoReplace);
}

}  // namespace
}  // namespace tolverdine
