#include "platform/volume_holders.h"

#include <gtest/gtest.h>

namespace tolverdine {

TEST(VolumeHolders, ParsesLsofOutputUniqueSortedWithoutOwnName) {
  auto h = parseLsofHolders("p123\ncFinder\np456\ncFinder\n\nf3\ncmds\np9\ncTolverdine\n", "Tolverdine");
  EXPECT_EQ(h, (std::vector<std::string>{"Finder", "mds"}));
  EXPECT_TRUE(parseLsofHolders("", "Tolverdine").empty());
  EXPECT_EQ(parseLsofHolders("cz\nca", "x"), (std::vector<std::string>{"a", "z"}));
}

}  // namespace tolverdine
