#include "engine/base/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "engine/base/records.h"
#include "engine/copy/ingest_test_util.h"
#include "testing/fault_fs.h"

namespace tolverdine {
namespace {

namespace fs = std::filesystem;

// An exclusive write never replaces; names are written composed; mkdirs takes what is there.
TEST(Files, WriteFileAndMkdirs) {
  TempDir t;
  const std::string p = t.path + "/a.txt";
  writeFile(p, "first");
  auto f = testing::thrown<WriteFail>([&] { writeFile(p, "second", true); });
  ASSERT_TRUE(f) << "exclusive write over an existing file must fail";
  EXPECT_EQ(std::tuple(f->err, f->path, slurp(p)), std::tuple(EEXIST, p, "first"));
  EXPECT_THROW(writeFile(t.path + "/missing/x", "x"), WriteFail);
  // "한" decomposed into conjoining jamo is written composed.
  writeFile(t.path + "/\xe1\x84\x92\xe1\x85\xa1\xe1\x86\xab.txt", "x");
  EXPECT_TRUE(exists(t.path + "/한.txt"));
  EXPECT_TRUE(mkdirs(t.path + "//x///y/"));
  EXPECT_TRUE(mkdirs(t.path + "/x/y")) << "a folder already there is no failure";
  EXPECT_FALSE(mkdirs(p + "/sub"));
}

// What a crash left is cleared; what someone may still be writing, or did not come from
// writeFileAtomic, stays.
TEST(Files, StaleTemporariesGoButNothingElse) {
  EXPECT_TRUE(isAtomicTemp("A_20250101_job.json.tmp-123-45-6"));
  for (const char* n : {"A_job.json", "a.tmp-1-2", "a.tmp-1-2-3-4", "a.tmp-x-2-3", "a.tmp-1--3",
                        ".a.zip.tmp-1-2-3", ".tmp-1-2-3", "a.tmp-1-2-3x", "a.tmp-"})
    EXPECT_FALSE(isAtomicTemp(n)) << n;

  const std::string dead = std::to_string(testing::deadPid());
  TempDir t;
  const std::string crashed = t.path + "/a_job.json.tmp-" + dead + "-1-2";
  const std::string mine = t.path + "/a_clips.csv.tmp-" + std::to_string(::getpid()) + "-1-2";
  const std::string running = t.path + "/b_job.json.tmp-1-1-2";  // pid 1 is always alive
  const std::string other = t.path + "/notes.txt", folder = t.path + "/c.tmp-" + dead + "-1-2";
  for (const auto& p : {crashed, mine, running, other}) writeFile(p, "x");
  mkdirs(folder);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // file times move in clock ticks
  const int64_t runStart = wallClockNs();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const std::string fresh = t.path + "/d_job.json.tmp-" + dead + "-1-3";
  writeFile(fresh, "x");
  EXPECT_EQ(removeStaleTemps(t.path, runStart), 2);
  for (const auto& p : {crashed, mine, running, other, fresh, folder})
    EXPECT_EQ(exists(p), p != crashed && p != mine) << p;
  EXPECT_EQ(removeStaleTemps(t.path + "/none", runStart), 0);

  // Writers of this process at work while a cleanup runs: none loses its temporary, and the
  // file is one writer's whole text, never a mix.
  std::atomic<bool> stop{false};
  std::atomic<int> failed{0};
  std::thread cleaner([&] {
    while (!stop) removeStaleTemps(t.path, LLONG_MAX);
  });
  std::vector<std::thread> th;
  for (int w = 0; w < 4; ++w)
    th.emplace_back([&, w] {
      for (int i = 0; i < 30; ++i) {
        failed += testing::thrown<WriteFail>([&] {
                    writeFileAtomic(t.path + "/chain.xml", std::string(100000, char('a' + w)));
                  }).has_value();
      }
    });
  for (auto& x : th) x.join();
  stop = true;
  cleaner.join();
  EXPECT_EQ(failed, 0);
  const std::string got = slurp(t.path + "/chain.xml");
  ASSERT_EQ(got.size(), 100000u);
  EXPECT_EQ(got.find_first_not_of(got[0]), std::string::npos) << "two writers' bytes mixed";
  for (const auto& e : fs::directory_iterator(t.path))
    EXPECT_FALSE(e.path().filename().string().starts_with("chain.xml.tmp")) << e.path();
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
  testing::FaultPlan plan;
  for (plan.failAt = 1;; ++plan.failAt) {
    testing::FaultFs fs(plan);
    bool threw = testing::thrown<WriteFail>([&] { writeFileAtomic(p, "newer", fs); }).has_value();
    if (!fs.fired()) break;
    EXPECT_TRUE(threw) << "call " << plan.failAt << " failed unreported";
  }
}

}  // namespace
}  // namespace tolverdine
