// Ingest runs against real mounts: a card pulled, a destination pulled, a destination full.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "engine/base/names.h"
#include "engine/copy/copy.h"
#include "engine/copy/ingest.h"
#include "engine/copy/ingest_test_util.h"

namespace tolverdine {
namespace {

using namespace tolverdine::testing;

std::vector<Row> clips(const std::string& card, int n, size_t size) {
  std::vector<Row> rows;
  for (int i = 0; i < n; ++i) {
    char rel[64];
    std::snprintf(rel, sizeof rel, "PRIVATE/M4ROOT/CLIP/C%04d.MP4", i + 1);
    rows.push_back(cardRow(card, rel, size + static_cast<size_t>(i), static_cast<unsigned>(i) + 1));
  }
  return rows;
}

// Every file under a final name (not ".part") must equal its card file.
void expectNoPartialFinals(const std::string& root, const std::vector<Row>& rows,
                           std::vector<std::optional<std::string>> want = {}) {
  for (size_t i = 0; i < rows.size(); ++i) {
    std::string t = root + "/" + *rows[i].dest;
    auto w = i < want.size() ? want[i] : hashFile(rows[i].src);
    if (exists(t)) {
      EXPECT_EQ(hashFile(t), w) << t;
    }
  }
}

// Everything claimed verified was read back and matches the card.
void expectVerifiedTrue(const IngestResult& res) {
  for (const auto& [root, list] : res.verified) {
    if (std::find(res.lostDests.begin(), res.lostDests.end(), root) != res.lostDests.end())
      continue;
    for (const auto& v : list) EXPECT_EQ(hashFile(root + "/" + *v.row.dest), v.hash);
  }
}

TEST(IngestFault, CardPulledThenResumedAfterRemount) {
  LoopMount card(64);
  SKIP_UNLESS_MOUNTED(card);
  TempDir t;
  Store store(t.path + "/db.sqlite");
  std::string root = t.path + "/drive/20250101_p";
  mkdirs(t.path + "/drive");
  auto rows = clips(card.path(), 4, 4u << 20);
  std::string hash0 = *hashFile(rows[0].src);
  std::vector<std::optional<std::string>> want;
  for (const auto& r : rows) want.push_back(hashFile(r.src));

  Progress p;
  ProgressFn pull = [&](int n, int c, const std::string& f, int64_t d, int64_t tot) {
    p.fn()(n, c, f, d, tot);
    if (n == 2 && !f.empty()) card.pull();
  };
  IngestResult r =
      runIngest(rows, card.path(), kCam, {root}, NameSet::ko(), store, 1, {}, plenty, pull);
  ASSERT_TRUE(r.stopped);
  EXPECT_EQ(*r.stopped, IngestStop::cardRemoved());
  EXPECT_EQ(r.color, CardColor::red);
  EXPECT_EQ(r.copied, 1);
  EXPECT_EQ(r.underCopied, 3);
  ASSERT_FALSE(p.calls.empty());
  EXPECT_EQ(p.calls.back().file, "");
  EXPECT_EQ(p.calls.back().n, 4);
  EXPECT_EQ(p.calls.back().done, p.calls.back().total);
  ASSERT_EQ(r.verified[root].size(), 1u);
  EXPECT_EQ(r.verified[root][0].hash, hash0);
  expectVerifiedTrue(r);
  expectNoPartialFinals(root, rows, want);
  EXPECT_FALSE(exists(root + "/_리포트/lock_A캠.json"));

  ASSERT_TRUE(card.remount());
  std::string at0 = dbRow(store, rows[0], root)->at;
  IngestResult again =
      runIngest(rows, card.path(), kCam, {root}, NameSet::ko(), store, 1, {}, plenty, {});
  EXPECT_EQ(again.color, CardColor::green);
  EXPECT_EQ(again.copied, 3);
  EXPECT_EQ(again.skipped, 1);
  auto first = dbRow(store, rows[0], root);
  EXPECT_EQ(first->attempts, 1);
  EXPECT_EQ(first->at, at0);
  expectVerifiedTrue(again);
}

TEST(IngestFault, DestinationPulledDuringCopy) {
  LoopMount d2(64);
  SKIP_UNLESS_MOUNTED(d2);
  TempDir t;
  Store store(t.path + "/db.sqlite");
  std::string card = t.path + "/card";
  std::string root1 = t.path + "/d1/20250101_p", root2 = d2.path() + "/20250101_p";
  mkdirs(t.path + "/d1");
  auto rows = clips(card, 3, 2u << 20);
  IngestHooks hooks;
  hooks.beforeVerify = [&](const Row& r, const std::vector<std::string>&) {
    if (r.rel == rows[1].rel) d2.pull();  // gone between the write and the read-back
  };
  IngestResult r = runIngest(rows, card, kCam, {root1, root2}, NameSet::ko(), store, 1, {}, plenty,
                             {}, nullptr, hooks);
  EXPECT_EQ(r.lostDests, std::vector<std::string>{root2});
  ASSERT_EQ(r.failed.size(), 1u);
  EXPECT_EQ(r.failed[0], (Failure{*rows[1].dest, root2, "목적지 분리됨"}));
  EXPECT_EQ(r.color, CardColor::red);
  EXPECT_EQ(r.copied, 3);
  EXPECT_EQ(r.verified[root1].size(), 3u);
  EXPECT_EQ(r.verified[root2].size(), 1u);
  EXPECT_FALSE(dbRow(store, rows[1], root2));
  EXPECT_FALSE(dbRow(store, rows[2], root2));
  for (const auto& row : rows) EXPECT_EQ(hashFile(root1 + "/" + *row.dest), hashFile(row.src));
  expectVerifiedTrue(r);
  // Nothing was written into the bare mount point folder after the pull.
  EXPECT_FALSE(exists(root2));
}

TEST(IngestFault, DestinationFullMidRun) {
  LoopMount d(8);
  SKIP_UNLESS_MOUNTED(d);
  TempDir t;
  Store store(t.path + "/db.sqlite");
  std::string card = t.path + "/card", root = d.path() + "/20250101_p";
  auto rows = clips(card, 4, 3u << 20);
  IngestResult r = runIngest(rows, card, kCam, {root}, NameSet::ko(), store, 1, {}, plenty, {});
  EXPECT_EQ(r.color, CardColor::red);
  ASSERT_FALSE(r.failed.empty());
  EXPECT_EQ(r.failed[0].why,
            "쓰기 오류: 드라이브에 공간이 없습니다 (" + std::string(std::strerror(ENOSPC)) + ")");
  EXPECT_GE(r.copied, 1);
  expectNoPartialFinals(root, rows);
  expectVerifiedTrue(r);
  for (const auto& f : r.failed) {
    EXPECT_FALSE(exists(root + "/" + f.rel));
    EXPECT_FALSE(exists(root + "/" + f.rel + ".part"));
  }
  auto& failedRow = rows[static_cast<size_t>(r.copied)];
  EXPECT_EQ(dbRow(store, failedRow, root)->state, "failed");
}

TEST(IngestFault, ReadOnlyDestinationStopsBeforeAnyCopy) {
  LoopMount d1(8), d2(8), d3(8, "ext4", "ro");
  SKIP_UNLESS_MOUNTED(d1);
  SKIP_UNLESS_MOUNTED(d2);
  SKIP_UNLESS_MOUNTED(d3);
  TempDir t;
  Store store(t.path + "/db.sqlite");
  std::string card = t.path + "/card";
  auto rows = clips(card, 3, 64u << 10);
  std::string root1 = d1.path() + "/20250101_p", root2 = d2.path() + "/20250101_p",
              root3 = d3.path() + "/20250101_p";
  // d2 holds the project folder from an earlier card and comes back read-only; d3 is read-only
  // from the start, so its project folder does not exist yet.
  mkdirs(root2 + "/01_원본");
  d2.pull();
  ASSERT_TRUE(d2.remount("ro"));
  for (const auto& [dests, drive] :
       {std::pair{std::vector<std::string>{root1, root2}, d2.path()},
        std::pair{std::vector<std::string>{root1, root3}, d3.path()}}) {
    std::optional<IngestStop> stop;
    try {
      runIngest(rows, card, kCam, dests, NameSet::ko(), store, 2, {}, plenty, {});
    } catch (const IngestStop& s) {
      stop = s;
    }
    ASSERT_TRUE(stop) << drive;
    EXPECT_EQ(*stop, IngestStop::unwritable(drive, EROFS));
    EXPECT_EQ(stop->description(),
              "목적지에 쓸 수 없습니다: " + drive + " — 읽기 전용으로 연결되어 있습니다");
    // Not a byte, not a folder, not a lock on the good destination; no row in the database.
    EXPECT_FALSE(exists(root1));
    EXPECT_EQ(dbRows(store), 0);
  }
  EXPECT_EQ(IngestStop::unwritable("/mnt/x", EACCES).description(),
            "목적지에 쓸 수 없습니다: /mnt/x — 쓰기 권한이 없습니다");
  // Writable again, the same card goes through.
  d2.pull();
  ASSERT_TRUE(d2.remount());
  IngestResult r =
      runIngest(rows, card, kCam, {root1, root2}, NameSet::ko(), store, 2, {}, plenty, {});
  EXPECT_EQ(r.color, CardColor::green);
  EXPECT_EQ(r.copied, 3);
  for (const auto& row : rows) EXPECT_EQ(hashFile(root2 + "/" + *row.dest), hashFile(row.src));
}

}  // namespace
}  // namespace tolverdine
