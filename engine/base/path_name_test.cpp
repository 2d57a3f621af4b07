// Relative paths from records and other tools' lists: none may climb out of the folder it is
// joined to, and names that merely look like ".." stay usable.
#include "engine/base/path_name.h"

#include <gtest/gtest.h>

namespace tolverdine {
namespace {

TEST(PathName, RelativePathsThatCouldLeaveTheirFolderAreRefused) {
  for (const char* out :
       {"", "/", "/etc/passwd", "..", "../x", "a/..", "a/../../b", "a/b/../../..", "..//x"})
    EXPECT_FALSE(staysInside(out)) << out;
  for (const char* in : {"a", "a/b.mov", "..a", "a..", "a/...", "a/..b/c", ".hidden/x", "./a",
                         "a//b", "클립/C0001.MP4"})
    EXPECT_TRUE(staysInside(in)) << in;
}

}  // namespace
}  // namespace tolverdine
