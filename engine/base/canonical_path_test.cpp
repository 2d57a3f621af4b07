#include "engine/base/canonical_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

// The spellings a user types (relative, doubled slashes, links) are the paths command's test.
TEST(CanonicalPath, EverySpellingOfOneFolderGivesOneText) {
  TempDir t;
  const std::string base = canonicalPath(t.path), d1 = base + "/D1";
  ASSERT_EQ(base.front(), '/');
  ASSERT_TRUE(mkdirs(d1 + "/a"));
  ASSERT_EQ(::symlink(d1.c_str(), (base + "/link").c_str()), 0);
  for (const auto& [in, out] : std::vector<std::pair<std::string, std::string>>{
           {d1 + "/a/../a/.", d1 + "/a"},
           {d1 + "/./a/..", d1},
           {base + "/link/a/..", d1},  // ".." after a link climbs from where the link leads
           // A folder not made yet: the existing part resolved, the rest worked out as text.
           {base + "/link/new/../new2//x/", d1 + "/new2/x"},
           {base + "/gone/../D1", d1},
           {base + "/\u1100\u1161", base + "/\uac00"},  // decomposed Hangul becomes composed
           {"/", "/"},
           {"/..", "/"},
           {"", ""}})
    EXPECT_EQ(canonicalPath(in), out) << in;
  EXPECT_EQ(canonicalPaths({d1 + "/", base + "/link", d1, base + "/D1/a"}),
            (std::vector<std::string>{d1, d1 + "/a"}));
}

// (A bind mount showing one folder under another text is the physical-copies command test's.)
TEST(CanonicalPath, SameOrNestedIsJudgedOnDisk) {
  TempDir t;
  const std::string base = canonicalPath(t.path);
  for (const char* d : {"/SSD", "/SSD2", "/SSD/sub", "/bind"}) ASSERT_TRUE(mkdirs(base + d));
  const std::string ssd = base + "/SSD", ssd2 = base + "/SSD2";
  ASSERT_EQ(::symlink(ssd.c_str(), (base + "/link").c_str()), 0);
  // A shared prefix of text is not a shared folder; parts that do not exist yet are compared
  // below the folder they will be made in.
  for (const auto& [a, b, same] : std::vector<std::tuple<std::string, std::string, bool>>{
           {ssd, ssd + "/", true},
           {ssd, ssd + "/sub", true},
           {ssd + "/sub/x", ssd, true},
           {ssd, ssd2, false},
           {ssd + "/P", ssd2 + "/P", false},
           {ssd + "/new/x", ssd + "/new", true},
           {ssd + "/new/x", ssd + "/new2", false},
           {base + "/link/20260301_R", ssd + "/20260301_R", true}})
    EXPECT_EQ(sameOrNested(a, b), same) << a << " " << b;

  EXPECT_EQ(overlappingPair({ssd, ssd2}), std::nullopt);
  auto pair = overlappingPair({ssd2, ssd, base + "/link/sub"});
  ASSERT_TRUE(pair);
  EXPECT_EQ(*pair, std::make_pair(size_t{1}, size_t{2}));
}

}  // namespace
}  // namespace tolverdine
