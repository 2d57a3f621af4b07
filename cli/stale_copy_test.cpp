#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "cli/cli_test_util.h"
#include "engine/copy/copy.h"

namespace tolverdine {
namespace {

TEST(StaleCopies, GreenOnlyWhileEveryCountedCopyIsOnItsDrive) {
  Cli c;
  LoopMount m1(32), m2(32);
  SKIP_UNLESS_MOUNTED(m1);
  SKIP_UNLESS_MOUNTED(m2);
  // A drive's mount point is always older than the copies made on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const std::vector<std::string> both{c.card,   "--project", "p",        "--dest", m1.path(),
                                      "--dest", m2.path(),   "--copies", "2"};
  const std::vector<std::string> onlyD1{c.card,    "--project", "p", "--dest",
                                        m1.path(), "--copies",  "2"};
  ASSERT_EQ(c.run(both).status, 0);
  auto status = [&] { return c.run({c.card}, "status"); };

  // A drive on the shelf is still a copy.
  m2.pull();
  auto shelf = status();
  EXPECT_EQ(shelf.status, 0) << shelf.out;
  EXPECT_TRUE(has(shelf, "이미 백업됨")) << shelf.out;
  ASSERT_TRUE(m2.remount());

  // The project folder deleted while the drive stays mounted: those copies are gone.
  ASSERT_EQ(sh("rm -rf '" + m2.path() + "'/*_p"), 0);
  auto gone = status();
  EXPECT_EQ(gone.status, 1) << gone.out;
  EXPECT_FALSE(has(gone, "이미 백업됨")) << gone.out;
  EXPECT_TRUE(has(gone, "사본 3개 제외 — 파일 없음 3")) << gone.out;
  auto one = c.run(onlyD1);
  EXPECT_EQ(one.status, 1) << one.out;
  EXPECT_EQ(c.run(both).status, 0);
  EXPECT_TRUE(has(status(), "이미 백업됨"));

  // One byte written into a copy (dd gives it a new time): not counted, and never overwritten.
  const std::string copy =
      only("\"$(find '" + m1.path() + "' -path '*/01_원본/*' -name C0001.MP4)\"");
  ASSERT_FALSE(copy.empty());
  ASSERT_EQ(sh("printf Z | dd of='" + copy + "' bs=1 seek=100 conv=notrunc status=none"), 0);
  const auto changedHash = hashFile(copy);
  auto changed = status();
  EXPECT_EQ(changed.status, 1) << changed.out;
  EXPECT_TRUE(has(changed, "사본 1개 제외 — 바뀜 1")) << changed.out;
  EXPECT_EQ(c.run(onlyD1).status, 2);
  EXPECT_EQ(hashFile(copy), changedHash);
}

}  // namespace
}  // namespace tolverdine
