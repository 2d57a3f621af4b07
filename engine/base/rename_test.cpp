#include "engine/base/rename.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

void expectNoReplace(const std::string& dir,
                     int (*move)(const std::string&, const std::string&, Fs&)) {
  const std::string a = dir + "/a.part", b = dir + "/a", c = dir + "/c";
  writeFile(a, "new");
  writeFile(b, "old");
  EXPECT_EQ(move(a, b, realFs()), EEXIST);
  EXPECT_EQ(slurp(a) + slurp(b), "newold");
  EXPECT_EQ(move(a, c, realFs()), 0);
  EXPECT_FALSE(exists(a));
  EXPECT_EQ(slurp(c), "new");
  EXPECT_EQ(move(dir + "/missing", dir + "/d", realFs()), ENOENT);
}

TEST(RenameNoReplace, RefusesAnExistingTargetOnBothPathsAndOnExt4) {
  TempDir t, u;
  expectNoReplace(t.path, renameNoReplace);
  expectNoReplace(u.path, renameByLink);
  LoopMount m(8);
  SKIP_UNLESS_MOUNTED(m);
  expectNoReplace(m.path(), renameNoReplace);
}

}  // namespace
}  // namespace tolverdine
