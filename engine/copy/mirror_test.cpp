#include "engine/copy/mirror.h"

#include <gtest/gtest.h>

#include "engine/copy/copy.h"
#include "engine/copy/ingest_test_util.h"

namespace tolverdine {
namespace {

using testing::cardRow;
using testing::kCam;
using testing::plenty;

struct Ingested {
  TempDir t;
  TempDrive nas;  // the second copy's drive
  std::unique_ptr<Store> store;
  std::string card, primary, secondary;
  std::vector<Row> rows;
};

// A card of n clips ingested and verified onto one primary project folder.
void ingest(Ingested& in, int n, size_t size) {
  in.store = std::make_unique<Store>(in.t.path + "/db.sqlite");
  in.card = in.t.path + "/card";
  in.primary = in.t.path + "/fast/20250101_p";
  in.secondary = in.nas.path + "/nas/20250101_p";
  mkdirs(in.t.path + "/fast");
  mkdirs(in.nas.path + "/nas");
  for (int i = 0; i < n; ++i)
    in.rows.push_back(cardRow(in.card, "CLIP/C000" + std::to_string(i) + ".MP4", size, 10 + i));
  auto r =
      runIngest(in.rows, in.card, kCam, {in.primary}, NameSet::ko(), *in.store, 1, {}, plenty, {});
  ASSERT_EQ(r.color, CardColor::green);
}

template <class F> void expectStop(F run, const IngestStop& want) {
  try {
    run();
    ADD_FAILURE() << "not stopped: " << want.description();
  } catch (const IngestStop& s) {
    EXPECT_EQ(s, want);
  }
}

std::vector<std::string> reasons(const MirrorResult& r) {
  std::vector<std::string> out;
  for (const auto& f : r.failed) out.push_back(f.rel + ": " + f.why);
  return out;
}

TEST(Mirror, CopiesOnceAdoptsAndCopiesReportsExclusively) {
  Ingested in;
  ingest(in, 3, 200000);
  const std::string secondary = in.secondary;
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

  std::vector<int> files;
  std::vector<std::pair<int64_t, int64_t>> bytes;
  MirrorResult r = runMirror(
      in.primary, secondary, *in.store, plenty,
      [&](int n, int count, const std::string&) {
        EXPECT_EQ(count, 3);
        EXPECT_EQ(bytes.size(), files.size() + 1) << "bytes come before each file";
        files.push_back(n);
      },
      [&](int64_t done, int64_t total) {
        bytes.push_back({done, total});
      });
  EXPECT_EQ(files, (std::vector<int>{1, 2, 3}));
  // Bytes of the files dealt with, adopted and refused ones too, up to all the run had to copy.
  const int64_t one = 200000, all = 3 * one;
  EXPECT_EQ(bytes, (std::vector<std::pair<int64_t, int64_t>>{
                       {0, all}, {one, all}, {2 * one, all}, {all, all}}));
  EXPECT_EQ(r.copied, 1);
  EXPECT_EQ(r.skipped, 1);
  EXPECT_FALSE(r.lost);
  ASSERT_EQ(reasons(r),
            std::vector<std::string>{*in.rows[1].dest +
                                     ": 같은 이름의 다른 파일이 이미 있음 — 덮어쓰지 않음"});
  EXPECT_EQ(slurp(secondary + "/" + *in.rows[1].dest), "someone else's file");
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
  EXPECT_EQ(slurp(secondary + "/_리포트/keep.csv"), "theirs");
  EXPECT_FALSE(exists(secondary + cut));

  // Right after: only the stranger is pending; report files made since still come over.
  ::unlink((secondary + "/" + *in.rows[1].dest).c_str());
  writeFile(in.primary + "/_리포트/later.json", "{}", false);
  MirrorResult again = runMirror(in.primary, secondary, *in.store, plenty, {});
  EXPECT_EQ(again.copied, 1);
  EXPECT_TRUE(again.failed.empty());
  EXPECT_TRUE(exists(secondary + "/_리포트/later.json"));
  files.clear();
  MirrorResult idle = runMirror(in.primary, secondary, *in.store, plenty,
                                [&](int n, int, const std::string&) { files.push_back(n); });
  EXPECT_TRUE(files.empty());
  EXPECT_EQ(idle.copied + idle.skipped, 0);
}

TEST(Mirror, DamagedOrMissingPrimaryAndUnsafeRecordsAreNotPropagated) {
  Ingested in;
  ingest(in, 3, 100000);
  const std::string secondary = in.secondary;
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
  const std::string secondary = in.secondary;
  auto freeIs = [](int64_t n) { return [n](const std::string&) { return n; }; };
  expectStop([&] { runMirror(in.primary, secondary, *in.store, freeIs(104), {}); },
             IngestStop::noSpace(secondary, 100, 104));
  EXPECT_FALSE(exists(secondary));
  EXPECT_EQ(runMirror(in.primary, secondary, *in.store, freeIs(105), {}).copied, 2);
  const std::string unplugged = in.t.path + "/unplugged", gone = in.t.path + "/gone/20250101_p";
  expectStop([&] { runMirror(in.primary, unplugged + "/20250101_p", *in.store, plenty, {}); },
             IngestStop::destMissing(unplugged));
  expectStop([&] { runMirror(gone, secondary, *in.store, plenty, {}); },
             IngestStop::destMissing(gone));
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

}  // namespace
}  // namespace tolverdine
