#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/cli_test_util.h"

namespace tolverdine {
namespace {

TEST(StatusCommand, NewThenShortThenBackedUpThenChangedAndTheLibrary) {
  Cli c;
  auto fresh = c.run({c.card}, "status");
  EXPECT_EQ(fresh.status, 1);
  EXPECT_TRUE(has(fresh, "상태: 처음 보는 카드\n")) << fresh.out;
  // One destination of the two required: every file is short of a copy and listed.
  ASSERT_EQ(c.run({c.card, "--project", "p", "--dest", c.d1, "--copies", "2"}).status, 1);
  auto shortOf = c.run({c.card, "--copies", "2"}, "status");
  EXPECT_EQ(shortOf.status, 1);
  EXPECT_TRUE(has(shortOf,
                  "상태: A캠 카드로 기록됨 (파일 3개)\n검증 사본이 있는 드라이브: 1개\n"
                  "사본 부족 3개 · 사본 없음 0개 (파일 3개)\n"))
      << shortOf.out;
  ASSERT_EQ(c.run({c.card, "--project", "p", "--dest", c.d2, "--copies", "2"}).status, 0);
  auto backed = c.run({c.card}, "status");
  EXPECT_EQ(backed.status, 0);
  EXPECT_TRUE(has(backed, "이미 백업됨 — A캠, 파일 3개 모두 검증 사본 2곳 이상")) << backed.out;
  // search, history and suggestions read back what was recorded.
  auto json = [&](std::vector<std::string> args, const std::string& command) {
    args.push_back("--json");
    return nlohmann::json::parse(c.run(args, command).out);
  };
  EXPECT_EQ(json({"C0001"}, "search").size(), 2u) << "one row per destination";
  EXPECT_EQ(c.run({"C0001", "--limit", "0"}, "search").status, 64);
  EXPECT_EQ(json({}, "history")[0]["files"], 3);
  EXPECT_EQ(json({}, "suggestions").size(), 0u);
  // A changed file is a new file key: the card no longer counts as backed up.
  writePattern(c.card + "/PRIVATE/M4ROOT/STATUS.BIN", 101, 9);
  auto changed = c.run({c.card}, "status");
  EXPECT_EQ(changed.status, 1);
  EXPECT_TRUE(has(changed, "  검증 사본 0곳: PRIVATE/M4ROOT/STATUS.BIN")) << changed.out;
  // Random bytes carry no duration: eight empty buckets and zero statistics.
  auto stats = c.run({c.card}, "stats");
  EXPECT_EQ(stats.status, 0);
  EXPECT_TRUE(has(stats, "클립 0개 · 중앙값 0.0초 · 90% 0.0초")) << stats.out;
}

TEST(TwinCommand, SecondSlotComparedByHash) {
  Cli c;
  LoopMount slot1(16), slot2(16);
  SKIP_UNLESS_MOUNTED(slot1);
  SKIP_UNLESS_MOUNTED(slot2);
  // Each slot is a file system of its own, with its own volume UUID.
  ASSERT_EQ(sh("cp -a '" + c.card + "/.' '" + slot1.path() + "/'"), 0);
  ASSERT_EQ(c.run({slot1.path(), "--project", "p", "--dest", c.d1, "--dest", c.d2}).status, 0);
  // The same files with the same times on another file system: the dual-slot backup card.
  ASSERT_EQ(sh("cp -a '" + slot1.path() + "/.' '" + slot2.path() + "/'"), 0);
  EXPECT_TRUE(has(c.run({slot2.path()}, "status"), "듀얼 슬롯 백업 카드로 보입니다 (A캠, 3개)"));
  auto same = c.run({slot2.path()}, "twin");
  EXPECT_EQ(same.status, 0) << same.out;
  EXPECT_TRUE(has(same, "두 슬롯 내용 동일 (3개) — 이 카드도 포맷해도 됩니다")) << same.out;
  // One byte differs, size and time kept: the listing cannot tell, the hash does.
  const std::string clip = "/PRIVATE/M4ROOT/CLIP/C0002.MP4";
  ASSERT_EQ(
      sh("printf Z | dd of='" + slot2.path() + clip + "' bs=1 seek=100 conv=notrunc " +
         "status=none && touch -r '" + slot1.path() + clip + "' '" + slot2.path() + clip + "'"),
      0);
  auto differ = c.run({slot2.path()}, "twin");
  EXPECT_EQ(differ.status, 2) << differ.out;
  EXPECT_TRUE(has(differ,
                  "두 슬롯이 다릅니다: 다름 1 · 못 읽음 0 — 포맷하지 마세요\n"
                  "  다름: PRIVATE/M4ROOT/CLIP/C0002.MP4"))
      << differ.out;
}

}  // namespace
}  // namespace tolverdine
