// Ingest runs against real mounts: a card pulled, a destination pulled, a destination full.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/copy/copy.h"
#include "engine/copy/ingest_test_util.h"

namespace tolverdine {
namespace {

using namespace tolverdine::testing;

// Every file under a final name (not ".part") equals its card file; everything claimed verified
// (on a destination still there) was read back and matches the card.
void expectNoFalseCopies(const IngestResult& res, const std::string& root,
                         const std::vector<Row>& rows,
                         std::vector<std::optional<std::string>> want = {}) {
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string t = root + "/" + *rows[i].dest;
    if (!exists(t)) continue;
    EXPECT_EQ(hashFile(t), i < want.size() ? want[i] : hashFile(rows[i].src)) << t;
  }
  for (const auto& [dest, list] : res.verified) {
    if (std::find(res.lostDests.begin(), res.lostDests.end(), dest) != res.lostDests.end())
      continue;
    for (const auto& v : list) EXPECT_EQ(hashFile(dest + "/" + *v.row.dest), v.hash);
  }
}

TEST(IngestFault, CardPulledThenResumedAfterRemount) {
  LoopMount card(64);
  SKIP_UNLESS_MOUNTED(card);
  IngestRig run;
  run.card = card.path();
  const std::string& root = run.root1;
  run.addClips(4, 4u << 20);
  const auto& rows = run.rows;
  std::vector<std::optional<std::string>> want;
  for (const auto& r : rows) want.push_back(hashFile(r.src));
  Progress p;
  IngestResult r =
      run.run({.progress = [&](int n, int c, const std::string& f, int64_t d, int64_t t) {
        p.fn()(n, c, f, d, t);
        if (n == 2 && !f.empty()) card.pull();
      }});
  EXPECT_EQ(r.stopped, IngestStop::cardRemoved());
  EXPECT_EQ(std::tuple(r.color, r.copied, r.underCopied), std::tuple(CardColor::red, 1, 3));
  ASSERT_FALSE(p.calls.empty());
  EXPECT_EQ(std::tuple(p.calls.back().file, p.calls.back().n, p.calls.back().done),
            std::tuple(std::string(), 4, p.calls.back().total));
  ASSERT_EQ(r.verified[root].size(), 1u);
  EXPECT_EQ(r.verified[root][0].hash, want[0]);
  expectNoFalseCopies(r, root, rows, want);
  EXPECT_FALSE(exists(root + "/_리포트/lock_A캠.json"));

  ASSERT_TRUE(card.remount());
  std::string at0 = dbRow(run.store, rows[0], root)->at;
  IngestResult again = run.run();
  EXPECT_EQ(std::tuple(again.color, again.copied, again.skipped),
            std::tuple(CardColor::green, 3, 1));
  auto first = dbRow(run.store, rows[0], root);
  EXPECT_EQ(std::tuple(first->attempts, first->at), std::tuple(1, at0));
  expectNoFalseCopies(again, root, rows);
}

TEST(IngestFault, DestinationPulledDuringCopy) {
  LoopMount d2(64);
  SKIP_UNLESS_MOUNTED(d2);
  IngestRig run;
  const std::string root1 = run.root1, root2 = d2.path() + "/20250101_p";
  run.addClips(3, 2u << 20);
  const auto& rows = run.rows;
  IngestResult r = run.run({.dests = {root1, root2}, .hooks = {[&](const Row& row, auto&) {
                                                       if (row.rel == rows[1].rel)
                                                         d2.pull();  // between write and read-back
                                                     }}});
  EXPECT_EQ(r.lostDests, std::vector<std::string>{root2});
  EXPECT_EQ(r.failed, (std::vector<Failure>{{*rows[1].dest, root2, "목적지 분리됨"}}));
  EXPECT_EQ(std::tuple(r.color, r.copied, r.verified[root1].size(), r.verified[root2].size()),
            std::tuple(CardColor::red, 3, 3u, 1u));
  EXPECT_EQ(stateOf(run.store, rows[1], root2) + stateOf(run.store, rows[2], root2), "nonenone");
  for (const auto& row : rows) EXPECT_EQ(hashFile(root1 + "/" + *row.dest), hashFile(row.src));
  expectNoFalseCopies(r, root1, rows);
  // Nothing was written into the bare mount point folder after the pull.
  EXPECT_FALSE(exists(root2));
}

TEST(IngestFault, DestinationFullMidRun) {
  LoopMount d(8);
  SKIP_UNLESS_MOUNTED(d);
  IngestRig run;
  const std::string root = d.path() + "/20250101_p";
  run.addClips(4, 3u << 20);
  const auto& rows = run.rows;
  IngestResult r = run.run({.dests = {root}});
  EXPECT_EQ(r.color, CardColor::red);
  ASSERT_FALSE(r.failed.empty());
  EXPECT_EQ(r.failed[0].why,
            "쓰기 오류: 드라이브에 공간이 없습니다 (" + std::string(std::strerror(ENOSPC)) + ")");
  EXPECT_GE(r.copied, 1);
  expectNoFalseCopies(r, root, rows);
  for (const auto& f : r.failed) EXPECT_FALSE(exists(root + "/" + f.rel));
  EXPECT_EQ(partsUnder(root), "");
  EXPECT_EQ(stateOf(run.store, rows[static_cast<size_t>(r.copied)], root).substr(0, 7), "failed/");
}

TEST(IngestFault, ReadOnlyDestinationStopsBeforeAnyCopy) {
  LoopMount d1(8), d2(8), d3(8, "ext4", "ro");
  SKIP_UNLESS_MOUNTED(d1);
  SKIP_UNLESS_MOUNTED(d2);
  SKIP_UNLESS_MOUNTED(d3);
  IngestRig run;
  run.addClips(3, 64u << 10);
  const auto& rows = run.rows;
  const std::string root1 = d1.path() + "/20250101_p", root2 = d2.path() + "/20250101_p";
  // d2 holds the project folder from an earlier card and comes back read-only; d3 is read-only
  // from the start, so its project folder does not exist yet.
  mkdirs(root2 + "/01_원본");
  d2.pull();
  ASSERT_TRUE(d2.remount("ro"));
  for (const std::string& drive : {d2.path(), d3.path()}) {
    auto stop = thrown<IngestStop>([&] { run.run({.dests = {root1, drive + "/20250101_p"}}); });
    EXPECT_EQ(stop, IngestStop::unwritable(drive, EROFS));
    // Not a byte, not a folder, not a lock on the good destination; no row in the database.
    EXPECT_FALSE(exists(root1));
    EXPECT_EQ(dbRows(run.store), 0);
  }
  // Writable again, the same card goes through.
  d2.pull();
  ASSERT_TRUE(d2.remount());
  IngestResult r = run.run({.dests = {root1, root2}, .copies = 2});
  EXPECT_EQ(std::tuple(r.color, r.copied), std::tuple(CardColor::green, 3));
  for (const auto& row : rows) EXPECT_EQ(hashFile(root2 + "/" + *row.dest), hashFile(row.src));
}

}  // namespace
}  // namespace tolverdine
