#include "engine/base/canonical_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

// Runs the test body from another current folder and goes back whatever happens.
struct InFolder {
  std::string before;
  explicit InFolder(const std::string& dir) {
    char buf[4096];
    before = ::getcwd(buf, sizeof buf) ? buf : "/";
    EXPECT_EQ(::chdir(dir.c_str()), 0);
  }
  ~InFolder() { (void)::chdir(before.c_str()); }
};

// A bind mount of one folder onto another, undone at scope end.
struct BindMount {
  bool ok = false;
  std::string at;
  BindMount(const std::string& from, const std::string& to) : at(to) {
    ok = sh("mount --bind '" + from + "' '" + to + "' 2>/dev/null") == 0;
  }
  ~BindMount() {
    if (ok) sh("umount '" + at + "'");
  }
};

TEST(CanonicalPath, EverySpellingOfOneFolderGivesOneText) {
  TempDir t;
  const std::string base = canonicalPath(t.path);
  ASSERT_EQ(base.front(), '/');
  ASSERT_TRUE(mkdirs(base + "/D1/a"));
  const std::string d1 = base + "/D1";
  EXPECT_EQ(canonicalPath(d1), d1);
  EXPECT_EQ(canonicalPath(d1 + "/"), d1);
  EXPECT_EQ(canonicalPath(base + "//D1///"), d1);
  EXPECT_EQ(canonicalPath(d1 + "/a/../a/."), d1 + "/a");
  EXPECT_EQ(canonicalPath(d1 + "/./a/.."), d1);
  ASSERT_EQ(::symlink(d1.c_str(), (base + "/link").c_str()), 0);
  EXPECT_EQ(canonicalPath(base + "/link/"), d1);
  // ".." after a link climbs from where the link leads, as the file system does.
  EXPECT_EQ(canonicalPath(base + "/link/a/.."), d1);
  {
    InFolder here(base);
    EXPECT_EQ(canonicalPath("D1"), d1);
    EXPECT_EQ(canonicalPath("./D1"), d1);
    EXPECT_EQ(canonicalPath("D1/a/../../D1/"), d1);
    EXPECT_EQ(canonicalPath("link"), d1);
  }
  // A folder not made yet: the existing part resolved, the rest worked out as text.
  EXPECT_EQ(canonicalPath(base + "/link/new/../new2//x/"), d1 + "/new2/x");
  EXPECT_EQ(canonicalPath(base + "/gone/../D1"), d1);
  // Decomposed Hangul (as some systems type it) becomes the composed form.
  EXPECT_EQ(canonicalPath(base + "/\u1100\u1161"), base + "/\uac00");
  EXPECT_EQ(canonicalPath("/"), "/");
  EXPECT_EQ(canonicalPath("/.."), "/");
  EXPECT_EQ(canonicalPath(""), "");
  EXPECT_EQ(canonicalPaths({d1 + "/", base + "/link", d1, base + "/D1/a"}),
            (std::vector<std::string>{d1, d1 + "/a"}));
}

TEST(CanonicalPath, SameOrNestedIsJudgedOnDisk) {
  TempDir t;
  const std::string base = canonicalPath(t.path);
  for (const char* d : {"/SSD", "/SSD2", "/SSD/sub", "/bind"}) ASSERT_TRUE(mkdirs(base + d));
  const std::string ssd = base + "/SSD", ssd2 = base + "/SSD2";
  EXPECT_TRUE(sameOrNested(ssd, ssd + "/"));
  EXPECT_TRUE(sameOrNested(ssd, ssd + "/sub"));
  EXPECT_TRUE(sameOrNested(ssd + "/sub/x", ssd));
  EXPECT_FALSE(sameOrNested(ssd, ssd2)) << "a shared prefix of text is not a shared folder";
  EXPECT_FALSE(sameOrNested(ssd + "/P", ssd2 + "/P"));
  // Parts that do not exist yet are compared below the folder they will be made in.
  EXPECT_TRUE(sameOrNested(ssd + "/20260301_R", ssd + "/20260301_R/"));
  EXPECT_TRUE(sameOrNested(ssd + "/new/x", ssd + "/new"));
  EXPECT_FALSE(sameOrNested(ssd + "/new/x", ssd + "/new2"));
  ASSERT_EQ(::symlink(ssd.c_str(), (base + "/link").c_str()), 0);
  EXPECT_TRUE(sameOrNested(base + "/link/20260301_R", ssd + "/20260301_R"));

  EXPECT_EQ(overlappingPair({ssd, ssd2}), std::nullopt);
  auto pair = overlappingPair({ssd2, ssd, base + "/link/sub"});
  ASSERT_TRUE(pair);
  EXPECT_EQ(*pair, std::make_pair(size_t{1}, size_t{2}));

  // A bind mount shows one folder under another text; both the disk test and the canonical
  // text (written through the mount that shows the whole file system) see one folder.
  BindMount bind(ssd, base + "/bind");
  if (!bind.ok) GTEST_SKIP() << "bind mounts not allowed here";
  EXPECT_EQ(canonicalPath(base + "/bind"), ssd);
  EXPECT_EQ(canonicalPath(base + "/bind/sub/new/"), ssd + "/sub/new");
  EXPECT_TRUE(sameOrNested(base + "/bind", ssd));
  EXPECT_TRUE(sameOrNested(base + "/bind/20260301_R", ssd + "/20260301_R"));
  EXPECT_TRUE(sameOrNested(base + "/bind/sub/x", ssd));
  EXPECT_FALSE(sameOrNested(base + "/bind", ssd2));
}

}  // namespace
}  // namespace tolverdine
