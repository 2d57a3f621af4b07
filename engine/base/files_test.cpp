#include "engine/base/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "engine/base/records.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

TEST(Files, WriteFileExclusiveAndTruncate) {
  TempDir t;
  std::string p = t.path + "/a.txt";
  writeFile(p, "first");
  try {
    writeFile(p, "second", true);
    FAIL() << "exclusive write over an existing file must fail";
  } catch (const WriteFail& f) {
    EXPECT_EQ(f.err, EEXIST);
    EXPECT_EQ(f.path, p);
  }
  std::string got;
  ASSERT_TRUE(readFile(p, &got));
  EXPECT_EQ(got, "first");
  writeFile(p, "2");
  ASSERT_TRUE(readFile(p, &got));
  EXPECT_EQ(got, "2");
  struct stat st;
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_THROW(writeFile(t.path + "/missing/x", "x"), WriteFail);
}

TEST(Files, DecomposedNameIsWrittenComposed) {
  TempDir t;
  // "한" decomposed into conjoining jamo.
  std::string nfd = "\xe1\x84\x92\xe1\x85\xa1\xe1\x86\xab.txt";
  writeFile(t.path + "/" + nfd, "x");
  EXPECT_TRUE(exists(t.path + "/한.txt"));
  EXPECT_FALSE(exists(t.path + "/" + nfd));
}

TEST(Files, AtomicWritersOfOneFileNeverMixAndLeaveNoTemporaries) {
  TempDir t;
  std::string p = t.path + "/chain.xml";
  std::vector<std::thread> th;
  for (int w = 0; w < 8; ++w)
    th.emplace_back([&, w] {
      std::string body(200000, static_cast<char>('a' + w));
      for (int i = 0; i < 20; ++i) writeFileAtomic(p, body);
    });
  for (auto& x : th) x.join();
  std::string got;
  ASSERT_TRUE(readFile(p, &got));
  ASSERT_EQ(got.size(), 200000u);
  EXPECT_EQ(got.find_first_not_of(got[0]), std::string::npos) << "two writers' bytes mixed";
  int entries = 0;
  for (auto& e : std::filesystem::directory_iterator(t.path)) (void)e, ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(Files, MkdirsRelativeAbsoluteAndFailure) {
  TempDir t;
  std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(t.path);
  EXPECT_TRUE(mkdirs("a/b"));
  EXPECT_TRUE(std::filesystem::is_directory(t.path + "/a/b"));
  EXPECT_TRUE(mkdirs("a/b"));
  std::filesystem::current_path(cwd);
  EXPECT_TRUE(mkdirs(t.path + "//x///y/"));
  EXPECT_TRUE(std::filesystem::is_directory(t.path + "/x/y"));
  writeFile(t.path + "/file", "x");
  EXPECT_FALSE(mkdirs(t.path + "/file/sub"));
}

}  // namespace
}  // namespace tolverdine
