#include "engine/copy/mirror.h"

#include <gtest/gtest.h>

#include "engine/copy/copy.h"
#include "engine/copy/ingest_test_util.h"
#include "engine/copy/storage_plan.h"

namespace tolverdine {
namespace {

using testing::cardRow;
using testing::kCam;
using testing::plenty;

struct Ingested {
  TempDir t;
  TempDrive nas;  // the second copy's drive
  std::unique_ptr<Store> store;
  std::string card, primary;
  std::vector<Row> rows;
};

// A card of n clips ingested and verified onto one primary project folder.
void ingest(Ingested& in, int n, size_t size) {
  in.store = std::make_unique<Store>(in.t.path + "/db.sqlite");
  in.card = in.t.path + "/card";
  in.primary = in.t.path + "/fast/20250101_p";
  mkdirs(in.t.path + "/fast");
  for (int i = 0; i < n; ++i)
    in.rows.push_back(cardRow(in.card, "CLIP/C000" + std::to_string(i) + ".MP4", size, 10 + i));
  auto r =
      runIngest(in.rows, in.card, kCam, {in.primary}, NameSet::ko(), *in.store, 1, {}, plenty, {});
  ASSERT_EQ(r.color, CardColor::green);
}

std::vector<std::string> reasons(const MirrorResult& r) {
  std::vector<std::string> out;
  for (const auto& f : r.failed) out.push_back(f.rel + ": " + f.why);
  return out;
}

TEST(Mirror, CopiesOnceAdoptsAndCopiesReportsExclusively) {
  Ingested in;
  ingest(in, 3, 200000);
  const std::string drive = in.nas.path + "/nas", secondary = drive + "/20250101_p";
  mkdirs(drive);
  // One identical copy is already there (adopted), one stranger sits at a planned path.
  mkdirs(secondary + "/01_원본/A캠/기타");
  ASSERT_EQ(sh("cp '" + in.primary + "/" + *in.rows[0].dest + "' '" + secondary + "/" +
               *in.rows[0].dest + "'"),
            0);
  writeFile(secondary + "/" + *in.rows[1].dest, "someone else's file", false);
  mkdirs(in.primary + "/_리포트");
  mkdirs(secondary + "/_리포트");
  writeFile(in.primary + "/_리포트/lock_A캠.json", "{}", false);
  writeFile(secondary + "/_리포트/keep.csv", "theirs", false);
  writeFile(in.primary + "/_리포트/keep.csv", "ours", false);
  // A report a crash cut short on the secondary: gone; on the primary: never copied over.
  const std::string cut = "/_리포트/A캠_job.json.tmp-" + std::to_string(::getpid()) + "-1-2";
  writeFile(secondary + cut, "{", false);
  writeFile(in.primary + cut, "{", false);

  int calls = 0;
  std::vector<std::pair<int64_t, int64_t>> bytes;
  MirrorResult r = runMirror(
      in.primary, secondary, *in.store, plenty,
      [&](int n, int count, const std::string&) {
        ++calls;
        EXPECT_EQ(n, calls);
        EXPECT_EQ(count, 3);
        EXPECT_EQ(bytes.size(), static_cast<size_t>(calls)) << "bytes come before each file";
      },
      [&](int64_t done, int64_t total) {
        bytes.push_back({done, total});
      });
  EXPECT_EQ(calls, 3);
  // Bytes of the files dealt with, adopted and refused ones too, up to all the run had to copy.
  const int64_t all = in.rows[0].size + in.rows[1].size + in.rows[2].size;
  ASSERT_EQ(bytes.size(), 4u);
  EXPECT_EQ(bytes.front().first, 0);
  for (size_t i = 0; i < bytes.size(); ++i) {
    EXPECT_EQ(bytes[i].second, all);
    if (i) {
      EXPECT_GT(bytes[i].first, bytes[i - 1].first);
    }
  }
  EXPECT_EQ(bytes.back().first, all);
  EXPECT_EQ(r.copied, 1);
  EXPECT_EQ(r.skipped, 1);
  EXPECT_FALSE(r.lost);
  ASSERT_EQ(reasons(r),
            std::vector<std::string>{*in.rows[1].dest +
                                     ": 같은 이름의 다른 파일이 이미 있음 — 덮어쓰지 않음"});
  std::string stranger;
  ASSERT_TRUE(readFile(secondary + "/" + *in.rows[1].dest, &stranger));
  EXPECT_EQ(stranger, "someone else's file");
  EXPECT_EQ(hashFile(secondary + "/" + *in.rows[2].dest), hashFile(in.rows[2].src));
  EXPECT_EQ(testing::partsUnder(secondary), "");
  EXPECT_EQ(in.store->verifiedCount(ingestKey(kCam, in.rows[0])), 2);
  EXPECT_EQ(in.store->verifiedCount(ingestKey(kCam, in.rows[1])), 1);
  auto adopted = testing::dbRow(*in.store, in.rows[0], secondary),
       made = testing::dbRow(*in.store, in.rows[2], secondary);
  ASSERT_TRUE(adopted && made);
  EXPECT_EQ(adopted->attempts, 0);
  EXPECT_EQ(made->attempts, 1);
  EXPECT_FALSE(exists(secondary + "/_리포트/lock_A캠.json"));
  std::string kept;
  ASSERT_TRUE(readFile(secondary + "/_리포트/keep.csv", &kept));
  EXPECT_EQ(kept, "theirs");
  EXPECT_FALSE(exists(secondary + cut));

  // Right after: only the stranger is pending; report files made since still come over.
  ::unlink((secondary + "/" + *in.rows[1].dest).c_str());
  writeFile(in.primary + "/_리포트/later.json", "{}", false);
  MirrorResult again = runMirror(in.primary, secondary, *in.store, plenty, {});
  EXPECT_EQ(again.copied, 1);
  EXPECT_TRUE(again.failed.empty());
  EXPECT_TRUE(exists(secondary + "/_리포트/later.json"));
  calls = 0;
  MirrorResult idle = runMirror(in.primary, secondary, *in.store, plenty,
                                [&](int, int, const std::string&) { ++calls; });
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(idle.copied + idle.skipped, 0);
}

TEST(Mirror, DamagedOrMissingPrimaryAndUnsafeRecordsAreNotPropagated) {
  Ingested in;
  ingest(in, 3, 100000);
  const std::string secondary = in.nas.path + "/nas/20250101_p";
  mkdirs(in.nas.path + "/nas");
  // Same size, one byte changed since the ingest: the recorded hash must catch it.
  const std::string bad = in.primary + "/" + *in.rows[0].dest;
  ASSERT_EQ(sh("printf 'Z' | dd of='" + bad + "' bs=1 seek=5000 conv=notrunc status=none"), 0);
  const std::string now = *hashFile(bad),
                    recorded = *in.store->verifiedHash(ingestKey(kCam, in.rows[0]), in.primary);
  ASSERT_NE(now, recorded);
  ::unlink((in.primary + "/" + *in.rows[1].dest).c_str());
  // A record pointing outside the roots is never followed.
  writeFile(in.t.path + "/outside.MP4", "x", false);
  in.store->record("A캠|evil|1|1", in.primary, "../../outside.MP4", 1, "0000000000000000",
                   CopyState::verified, 1);

  MirrorResult r = runMirror(in.primary, secondary, *in.store, plenty, {});
  EXPECT_EQ(r.copied, 1);
  ASSERT_EQ(r.failed.size(), 3u);
  std::map<std::string, std::string> why;
  for (const auto& f : r.failed) why[f.rel] = f.why;
  EXPECT_EQ(why[*in.rows[0].dest], "1차 사본 해시가 카드 기록과 다름 (" + now + " ≠ " + recorded +
                                       ") — 1차 사본 손상 의심");
  EXPECT_EQ(why[*in.rows[1].dest], "1차 사본이 없음");
  EXPECT_EQ(why["../../outside.MP4"], "1차 사본이 없음");
  EXPECT_FALSE(exists(secondary + "/" + *in.rows[0].dest));
  EXPECT_EQ(testing::partsUnder(secondary), "");
  EXPECT_FALSE(exists(in.nas.path + "/nas/outside.MP4"));
  EXPECT_FALSE(in.store->verifiedHash(ingestKey(kCam, in.rows[0]), secondary));
}

TEST(Mirror, StopsBeforeCopyingWithoutDriveOrSpace) {
  Ingested in;
  ingest(in, 2, 50);  // 100 bytes pending
  mkdirs(in.nas.path + "/nas");
  const std::string secondary = in.nas.path + "/nas/20250101_p";
  auto freeIs = [](int64_t n) { return [n](const std::string&) { return n; }; };
  try {
    runMirror(in.primary, secondary, *in.store, freeIs(104), {});
    ADD_FAILURE() << "104 free bytes for 100 pending must not pass";
  } catch (const IngestStop& s) {
    EXPECT_EQ(s, IngestStop::noSpace(secondary, 100, 104));
  }
  EXPECT_FALSE(exists(secondary));
  EXPECT_EQ(runMirror(in.primary, secondary, *in.store, freeIs(105), {}).copied, 2);
  try {
    runMirror(in.primary, in.t.path + "/unplugged/20250101_p", *in.store, plenty, {});
    ADD_FAILURE() << "a missing drive must stop the run";
  } catch (const IngestStop& s) {
    EXPECT_EQ(s, IngestStop::destMissing(in.t.path + "/unplugged"));
  }
  try {
    runMirror(in.t.path + "/gone/20250101_p", secondary, *in.store, plenty, {});
    ADD_FAILURE() << "a missing primary must stop the run";
  } catch (const IngestStop& s) {
    EXPECT_EQ(s, IngestStop::destMissing(in.t.path + "/gone/20250101_p"));
  }
}

TEST(Mirror, PulledSecondaryIsLostAndTheRerunCopiesOnlyTheRest) {
  LoopMount nas(64);
  SKIP_UNLESS_MOUNTED(nas);
  Ingested in;
  ingest(in, 4, 3u << 20);
  const std::string secondary = nas.path() + "/20250101_p";
  MirrorResult r =
      runMirror(in.primary, secondary, *in.store, plenty, [&](int n, int, const std::string&) {
        if (n == 3) nas.pull();
      });
  EXPECT_TRUE(r.lost);
  EXPECT_EQ(r.copied, 2);
  ASSERT_FALSE(r.failed.empty());
  EXPECT_EQ(r.failed.back().why, "목적지 분리됨");

  ASSERT_TRUE(nas.remount());
  MirrorResult again = runMirror(in.primary, secondary, *in.store, plenty, {});
  EXPECT_FALSE(again.lost);
  EXPECT_TRUE(again.failed.empty()) << ::testing::PrintToString(reasons(again));
  // The two copied before the pull were never flushed there, so never recorded: they are
  // compared in place, not copied again.
  EXPECT_EQ(again.copied, 2);
  EXPECT_EQ(again.skipped, 2);
  for (const auto& row : in.rows) {
    EXPECT_EQ(hashFile(secondary + "/" + *row.dest), hashFile(row.src)) << row.rel;
    EXPECT_EQ(in.store->verifiedCount(ingestKey(kCam, row)), 2);
  }
}

TEST(Mirror, ViewsAreClonedOnlyWhereTheSecondaryCanClone) {
  LoopMount xfs(320, "xfs");
  LoopMount ext4(64);
  SKIP_UNLESS_MOUNTED(xfs);
  SKIP_UNLESS_MOUNTED(ext4);
  TempDir t;
  Store store(t.path + "/db.sqlite");
  const std::string card = t.path + "/card", primary = t.path + "/fast/20250101_p";
  mkdirs(t.path + "/fast");
  std::vector<Row> rows{cardRow(card, "CLIP/C0001.MP4", 1u << 20, 1),
                        cardRow(card, "CLIP/C0002.MP4", 1u << 20, 2)};
  for (auto& r : rows) r.session = "1_0900-0930";
  destPaths(rows, kCam, NameSet::ko());
  applyStorage(StorageMode::mirror, rows, kCam, {primary}, NameSet::ko(), store);
  ASSERT_EQ(runIngest(rows, card, kCam, {primary}, NameSet::ko(), store, 1, {}, plenty, {}).color,
            CardColor::green);

  const std::string onXfs = xfs.path() + "/20250101_p", onExt4 = ext4.path() + "/20250101_p";
  MirrorResult rx = runMirror(primary, onXfs, store, plenty, {});
  MirrorResult re = runMirror(primary, onExt4, store, plenty, {});
  EXPECT_TRUE(rx.failed.empty()) << ::testing::PrintToString(reasons(rx));
  EXPECT_TRUE(re.failed.empty()) << ::testing::PrintToString(reasons(re));
  for (const auto& r : rows) {
    EXPECT_EQ(hashFile(onXfs + "/" + *r.view), hashFile(r.src));
    EXPECT_FALSE(exists(onExt4 + "/" + *r.view));
    EXPECT_TRUE(exists(onExt4 + "/" + *r.dest));
    auto row = testing::dbRow(store, r, onExt4);
    ASSERT_TRUE(row);
  }
  EXPECT_EQ(store.recordedView(ingestKey(kCam, rows[0]), onExt4), rows[0].view);
}

}  // namespace
}  // namespace tolverdine
