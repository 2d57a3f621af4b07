#include "engine/base/files.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "engine/base/records.h"
#include "testing/fault_fs.h"
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

// What a crash left is cleared; what someone may still be writing, or did not come from
// writeFileAtomic, stays.
TEST(Files, StaleTemporariesGoButNothingElse) {
  EXPECT_TRUE(isAtomicTemp("A_20250101_job.json.tmp-123-45-6"));
  for (const char* n : {"A_job.json", "a.tmp-1-2", "a.tmp-1-2-3-4", "a.tmp-x-2-3", "a.tmp-1--3",
                        ".a.zip.tmp-1-2-3", ".tmp-1-2-3", "a.tmp-1-2-3x", "a.tmp-"})
    EXPECT_FALSE(isAtomicTemp(n)) << n;

  pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ASSERT_GT(dead, 0);
  ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
  TempDir t;
  const std::string crashed = t.path + "/a_job.json.tmp-" + std::to_string(dead) + "-1-2";
  const std::string mine = t.path + "/a_clips.csv.tmp-" + std::to_string(::getpid()) + "-1-2";
  const std::string running = t.path + "/b_job.json.tmp-1-1-2";  // pid 1 is always alive
  const std::string other = t.path + "/notes.txt";
  for (const auto& p : {crashed, mine, running, other}) writeFile(p, "x");
  ASSERT_TRUE(mkdirs(t.path + "/c.tmp-" + std::to_string(dead) + "-1-2"));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // file times move in clock ticks
  const int64_t runStart = wallClockNs();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const std::string fresh = t.path + "/d_job.json.tmp-" + std::to_string(dead) + "-1-3";
  writeFile(fresh, "x");

  EXPECT_EQ(removeStaleTemps(t.path, runStart), 2);
  EXPECT_FALSE(exists(crashed));
  EXPECT_FALSE(exists(mine));
  for (const auto& p : {running, other, fresh, t.path + "/c.tmp-" + std::to_string(dead) + "-1-2"})
    EXPECT_TRUE(exists(p)) << p;
  EXPECT_EQ(removeStaleTemps(t.path + "/none", runStart), 0);

  // Writers of this process at work while a cleanup runs: none loses its temporary.
  const std::string p = t.path + "/chain.xml";
  std::atomic<bool> stop{false};
  std::atomic<int> failed{0};
  std::thread cleaner([&] {
    while (!stop) removeStaleTemps(t.path, LLONG_MAX);
  });
  std::vector<std::thread> th;
  for (int w = 0; w < 4; ++w)
    th.emplace_back([&, w] {
      std::string body(100000, static_cast<char>('a' + w));
      for (int i = 0; i < 30; ++i) {
        try {
          writeFileAtomic(p, body);
        } catch (const WriteFail&) {
          ++failed;
        }
      }
    });
  for (auto& x : th) x.join();
  stop = true;
  cleaner.join();
  EXPECT_EQ(failed, 0);
}

// What an atomic write into new folders has written is on the drive when it returns, and a
// failure of any of its calls is reported.
TEST(Files, AtomicWritesSurviveAPowerCutAndReportEveryFailedCall) {
  TempDir t;
  const std::string p = t.path + "/a/b/f.json";
  {
    testing::FaultFs fs;
    ASSERT_TRUE(mkdirs(t.path + "/a/b", fs));
    writeFileAtomic(p, "new", fs);
    fs.cutPower();
    fs.dropUnsynced();
    EXPECT_EQ(slurp(p), "new");
  }
  for (long k = 1;; ++k) {
    testing::FaultPlan plan;
    plan.failAt = k;
    testing::FaultFs fs(plan);
    bool threw = false;
    try {
      writeFileAtomic(p, "newer", fs);
    } catch (const WriteFail&) {
      threw = true;
    }
    if (!fs.fired()) break;
    EXPECT_TRUE(threw) << "call " << k << " failed unreported";
  }
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
