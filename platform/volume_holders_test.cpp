#include "platform/volume_holders.h"

#include <gtest/gtest.h>

namespace tolverdine {

// lsof -Fc output: each holder once, sorted, the program itself left out.
TEST(VolumeHolders, ParsesLsofOutputUniqueSortedWithoutOwnName) {
  auto h =
      parseLsofHolders("p1\ncmds\np2\ncFinder\np4\ncFinder\n\nf3\np9\ncTolverdine\n", "Tolverdine");
  EXPECT_EQ(h, (std::vector<std::string>{"Finder", "mds"}));
}

}  // namespace tolverdine
