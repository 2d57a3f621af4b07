#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "cli/cli_test_util.h"
#include "engine/copy/copy.h"

namespace tolverdine {
namespace {

bool has(const RunResult& r, const std::string& text) {
  return r.out.find(text) != std::string::npos;
}

// The one project folder the run made on a drive.
std::string projectOn(const std::string& drive) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(drive.c_str()), ::closedir);
  while (d && d.get()) {
    dirent* e = ::readdir(d.get());
    if (!e) break;
    std::string n = e->d_name;
    if (n.ends_with("_p")) return drive + "/" + n;
  }
  return drive + "/?";
}

TEST(StaleCopies, GreenOnlyWhileEveryCountedCopyIsOnItsDrive) {
  Cli c;
  LoopMount m1(32), m2(32);
  SKIP_UNLESS_MOUNTED(m1);
  SKIP_UNLESS_MOUNTED(m2);
  c.d1 = m1.path();
  c.d2 = m2.path();
  // A drive's mount point is always older than the copies made on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const std::vector<std::string> both{c.card,   "--project", "p",        "--dest", c.d1,
                                      "--dest", c.d2,        "--copies", "2"};
  const std::vector<std::string> onlyD1{c.card, "--project", "p", "--dest", c.d1, "--copies", "2"};
  ASSERT_EQ(c.run(both).status, 0);
  const std::string p2 = projectOn(c.d2), p1 = projectOn(c.d1);
  const std::string clip = "/01_원본/A캠/";  // below it, the classified clip folders

  // A drive on the shelf is still a copy.
  m2.pull();
  auto shelf = c.run({c.card}, "status");
  EXPECT_EQ(shelf.status, 0) << shelf.out;
  EXPECT_TRUE(has(shelf, "이미 백업됨")) << shelf.out;
  ASSERT_TRUE(m2.remount());

  // The project folder deleted while the drive stays mounted: those copies are gone.
  ASSERT_EQ(sh("rm -rf '" + p2 + "'"), 0);
  auto gone = c.run({c.card}, "status");
  EXPECT_EQ(gone.status, 1) << gone.out;
  EXPECT_FALSE(has(gone, "이미 백업됨")) << gone.out;
  EXPECT_TRUE(has(gone, "사본 3개 제외 — 파일 없음 3")) << gone.out;
  auto one = c.run(onlyD1);
  EXPECT_EQ(one.status, 1) << one.out;
  EXPECT_FALSE(has(one, "🟢")) << one.out;
  auto back = c.run(both);
  EXPECT_EQ(back.status, 0) << back.out;
  EXPECT_TRUE(has(c.run({c.card}, "status"), "이미 백업됨"));

  // One byte written into a copy (dd gives it a new time): not counted, and never overwritten.
  ShellOutput found = shellOutput("find '" + p1 + clip + "' -name C0001.MP4");
  const std::string copy = found.out.substr(0, found.out.find('\n'));
  ASSERT_FALSE(copy.empty()) << p1;
  ASSERT_EQ(sh("printf Z | dd of='" + copy + "' bs=1 seek=100 conv=notrunc status=none"), 0);
  auto changedHash = hashFile(copy);
  auto changed = c.run({c.card}, "status");
  EXPECT_EQ(changed.status, 1) << changed.out;
  EXPECT_TRUE(has(changed, "사본 1개 제외 — 바뀜 1")) << changed.out;
  auto red = c.run(onlyD1);
  EXPECT_EQ(red.status, 2) << red.out;
  EXPECT_EQ(hashFile(copy), changedHash);
}

}  // namespace
}  // namespace tolverdine
