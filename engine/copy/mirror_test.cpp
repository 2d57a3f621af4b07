#include "engine/copy/mirror.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/copy/copy.h"
#include "engine/copy/ingest_test_util.h"

namespace tolverdine {
namespace {

using testing::kCam;
using testing::plenty;
using testing::stateOf;

// A card of n clips ingested and verified onto the first drive; the second drive takes the
// mirror.
struct Ingested : testing::IngestRig {
  std::string &primary = root1, &secondary = root2;
  Ingested(int n, size_t size) {
    for (int i = 0; i < n; ++i) add("CLIP/C000" + std::to_string(i) + ".MP4", size);
    EXPECT_EQ(IngestRig::run().color, CardColor::green);
  }
  MirrorResult run(const FreeBytes& free = plenty, const MirrorProgress& progress = {},
                   const std::string& to = {}) {
    return runMirror(primary, to.empty() ? secondary : to, store, free, progress);
  }
  std::string in(const std::string& root, int i) { return at(root, rows[i]); }
  std::string row(int i) { return stateOf(store, rows[i], secondary); }
  int count(int i) { return store.verifiedCount(ingestKey(kCam, rows[i])); }
};

std::vector<std::string> reasons(const MirrorResult& r) {
  std::vector<std::string> out;
  for (const auto& f : r.failed) out.push_back(f.rel + ": " + f.why);
  return out;
}

TEST(Mirror, CopiesOnceAdoptsAndCopiesReportsExclusively) {
  Ingested in(3, 200000);
  const std::string& secondary = in.secondary;
  // One identical copy is already there (adopted), one stranger sits at a planned path.
  for (const auto& d :
       {secondary + "/01_원본/A캠/기타", in.primary + "/_리포트", secondary + "/_리포트"})
    mkdirs(d);
  writeFile(in.in(secondary, 0), slurp(in.in(in.primary, 0)), false);
  writeFile(in.in(secondary, 1), "someone else's file", false);
  writeFile(in.primary + "/_리포트/lock_A캠.json", "{}", false);
  writeFile(secondary + "/_리포트/keep.csv", "theirs", false);
  writeFile(in.primary + "/_리포트/keep.csv", "ours", false);
  // A report a crash cut short on the secondary: gone; on the primary: never copied over.
  const std::string cut = "/_리포트/A캠_job.json.tmp-" + std::to_string(::getpid()) + "-1-2";
  writeFile(secondary + cut, "{", false);
  writeFile(in.primary + cut, "{", false);

  // Bytes of the files dealt with, adopted and refused ones too, up to all the run had to copy.
  std::vector<std::pair<int64_t, int64_t>> bytes;
  MirrorResult r =
      runMirror(in.primary, secondary, in.store, plenty, {}, [&](int64_t done, int64_t total) {
        bytes.push_back({done, total});
      });
  const int64_t one = 200000, all = 3 * one;
  EXPECT_EQ(bytes, (std::vector<std::pair<int64_t, int64_t>>{
                       {0, all}, {one, all}, {2 * one, all}, {all, all}}));
  EXPECT_EQ(std::tuple(r.copied, r.skipped, r.lost), std::tuple(1, 1, false));
  EXPECT_EQ(reasons(r),
            std::vector<std::string>{*in.rows[1].dest +
                                     ": 같은 이름의 다른 파일이 이미 있음 — 덮어쓰지 않음"});
  EXPECT_EQ(slurp(in.in(secondary, 1)), "someone else's file");
  EXPECT_EQ(hashFile(in.in(secondary, 2)), hashFile(in.rows[2].src));
  EXPECT_EQ(testing::partsUnder(secondary), "");
  EXPECT_EQ(std::pair(in.count(0), in.count(1)), std::pair(2, 1));
  EXPECT_EQ(std::tuple(in.row(0), in.row(2)), std::tuple("verified/0", "verified/1"));
  EXPECT_FALSE(exists(secondary + "/_리포트/lock_A캠.json"));
  EXPECT_EQ(slurp(secondary + "/_리포트/keep.csv"), "theirs");
  EXPECT_FALSE(exists(secondary + cut));

  // Right after: only the stranger is pending; report files made since still come over.
  ::unlink(in.in(secondary, 1).c_str());
  writeFile(in.primary + "/_리포트/later.json", "{}", false);
  MirrorResult again = in.run();
  EXPECT_EQ(std::pair(again.copied, again.failed.size()), std::pair(1, size_t{0}));
  EXPECT_TRUE(exists(secondary + "/_리포트/later.json"));
}

TEST(Mirror, DamagedOrMissingPrimaryAndUnsafeRecordsAreNotPropagated) {
  Ingested in(3, 100000);
  // Same size, one byte changed since the ingest: the recorded hash must catch it.
  std::string bytes = slurp(in.in(in.primary, 0));
  bytes[5000] ^= 1;
  writeFile(in.in(in.primary, 0), bytes, false);
  const std::string now = xxh64(bytes),
                    recorded = *in.store.verifiedHash(ingestKey(kCam, in.rows[0]), in.primary);
  ASSERT_NE(now, recorded);
  ::unlink(in.in(in.primary, 1).c_str());
  // A record pointing outside the roots is never followed.
  writeFile(in.one.path + "/outside.MP4", "x", false);
  in.store.record("A캠|evil|1|1", in.primary, "../../outside.MP4", 1, "0000000000000000",
                  CopyState::verified, 1);
  MirrorResult r = in.run();
  EXPECT_EQ(r.copied, 1);
  std::vector<std::string> why = reasons(r);
  std::sort(why.begin(), why.end());
  EXPECT_EQ(why,
            (std::vector<std::string>{"../../outside.MP4: 1차 사본이 없음",
                                      *in.rows[0].dest + ": 1차 사본 해시가 카드 기록과 다름 (" +
                                          now + " ≠ " + recorded + ") — 1차 사본 손상 의심",
                                      *in.rows[1].dest + ": 1차 사본이 없음"}));
  EXPECT_FALSE(exists(in.in(in.secondary, 0)));
  EXPECT_EQ(testing::partsUnder(in.secondary), "");
  EXPECT_FALSE(exists(in.two.path + "/outside.MP4"));
  EXPECT_FALSE(in.store.verifiedHash(ingestKey(kCam, in.rows[0]), in.secondary));
}

TEST(Mirror, StopsBeforeCopyingWithoutDriveOrSpace) {
  Ingested in(2, 50);  // 100 bytes pending
  auto freeIs = [](int64_t n) { return [n](const std::string&) { return n; }; };
  auto stop = [&](const std::string& from, const std::string& to, const FreeBytes& free) {
    return testing::thrown<IngestStop>([&] { runMirror(from, to, in.store, free, {}); });
  };
  EXPECT_EQ(stop(in.primary, in.secondary, freeIs(104)),
            IngestStop::noSpace(in.secondary, 100, 104));
  EXPECT_FALSE(exists(in.secondary));
  EXPECT_EQ(in.run(freeIs(105)).copied, 2);
  const std::string unplugged = in.dir.path + "/unplugged", gone = in.dir.path + "/gone/20250101_p";
  EXPECT_EQ(stop(in.primary, unplugged + "/p", plenty), IngestStop::destMissing(unplugged));
  EXPECT_EQ(stop(gone, in.secondary, plenty), IngestStop::destMissing(gone));
}

TEST(Mirror, PulledSecondaryIsLostAndTheRerunCopiesOnlyTheRest) {
  LoopMount nas(64);
  SKIP_UNLESS_MOUNTED(nas);
  Ingested in(4, 3u << 20);
  const std::string secondary = nas.path() + "/20250101_p";
  MirrorResult r = in.run(
      plenty,
      [&](int n, int, const std::string&) {
        if (n == 3) nas.pull();
      },
      secondary);
  EXPECT_EQ(std::tuple(r.lost, r.copied), std::tuple(true, 2));
  ASSERT_FALSE(r.failed.empty());
  EXPECT_EQ(r.failed.back().why, "목적지 분리됨");

  ASSERT_TRUE(nas.remount());
  MirrorResult again = in.run(plenty, {}, secondary);
  EXPECT_EQ(std::pair(again.lost, again.failed.size()), std::pair(false, size_t{0}));
  // The two copied before the pull were never flushed there, so never recorded: they are
  // compared in place, not copied again.
  EXPECT_EQ(std::pair(again.copied, again.skipped), std::pair(2, 2));
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(hashFile(in.in(secondary, i)), hashFile(in.rows[i].src)) << i;
    EXPECT_EQ(in.count(i), 2);
  }
}

}  // namespace
}  // namespace tolverdine
