#include "engine/copy/mirror.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/copy/copy.h"
#include "engine/copy/ingest_test_util.h"
#include "engine/copy/storage.h"
#include "engine/copy/storage_plan.h"
#include "engine/store/view.h"
#include "os/clone.h"

namespace tolverdine {
namespace {

using testing::cardRow;
using testing::extents;
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
  std::sort(out.begin(), out.end());
  return out;
}

// The second copy adopts an identical file and never writes over a stranger, a report already
// there or a cut report; it never spreads a primary damaged or missing since the card's copy, nor
// follows a record out of the roots.
TEST(Mirror, CopiesOnceAdoptsAndNeverPropagatesWhatIsNotTheCardsCopy) {
  Ingested in(5, 100000);
  const std::string &primary = in.primary, &secondary = in.secondary;
  for (const auto& d :
       {secondary + "/01_원본/A캠/기타", primary + "/_리포트", secondary + "/_리포트"})
    mkdirs(d);
  writeFile(in.in(secondary, 0), slurp(in.in(primary, 0)), false);
  writeFile(in.in(secondary, 1), "someone else's file", false);
  writeFile(primary + "/_리포트/lock_A캠.json", "{}", false);
  writeFile(secondary + "/_리포트/keep.csv", "theirs", false);
  writeFile(primary + "/_리포트/keep.csv", "ours", false);
  // A report a crash cut short on the secondary: gone; on the primary: never copied over.
  const std::string cut = "/_리포트/A캠_job.json.tmp-" + std::to_string(::getpid()) + "-1-2";
  writeFile(secondary + cut, "{", false);
  writeFile(primary + cut, "{", false);
  // Same size, one byte changed since the ingest: the recorded hash must catch it.
  std::string bytes = slurp(in.in(primary, 3));
  bytes[5000] ^= 1;
  writeFile(in.in(primary, 3), bytes, false);
  const std::string now = xxh64(bytes),
                    recorded = *in.store.verifiedHash(ingestKey(kCam, in.rows[3]), primary);
  ASSERT_NE(now, recorded);
  ::unlink(in.in(primary, 4).c_str());
  writeFile(in.one.path + "/outside.MP4", "x", false);
  in.store.record("A캠|evil|1|1", primary, "../../outside.MP4", 1, "0000000000000000",
                  CopyState::verified, 1);

  MirrorResult r = in.run();
  EXPECT_EQ(std::tuple(r.copied, r.skipped, r.lost), std::tuple(1, 1, false));
  std::vector<std::string> why = reasons(r),
                           unsafe{"../../outside.MP4: 1차 사본이 없음",
                                  *in.rows[3].dest + ": 1차 사본 해시가 카드 기록과 다름 (" + now +
                                      " ≠ " + recorded + ") — 1차 사본 손상 의심",
                                  *in.rows[4].dest + ": 1차 사본이 없음"};
  EXPECT_EQ(why,
            (std::vector<std::string>{
                unsafe[0], *in.rows[1].dest + ": 같은 이름의 다른 파일이 이미 있음 — 덮어쓰지 않음",
                unsafe[1], unsafe[2]}));
  EXPECT_EQ(slurp(in.in(secondary, 1)), "someone else's file");
  EXPECT_EQ(hashFile(in.in(secondary, 2)), hashFile(in.rows[2].src));
  EXPECT_FALSE(exists(in.in(secondary, 3)));
  EXPECT_FALSE(exists(in.two.path + "/outside.MP4"));
  EXPECT_EQ(testing::partsUnder(secondary), "");
  EXPECT_EQ(std::pair(in.count(0), in.count(1)), std::pair(2, 1));
  EXPECT_FALSE(in.store.verifiedHash(ingestKey(kCam, in.rows[3]), secondary));
  EXPECT_EQ(std::tuple(in.row(0), in.row(2)), std::tuple("verified/0", "verified/1"));
  EXPECT_FALSE(exists(secondary + "/_리포트/lock_A캠.json"));
  EXPECT_EQ(slurp(secondary + "/_리포트/keep.csv"), "theirs");
  EXPECT_FALSE(exists(secondary + cut));

  // Right after: only the stranger is pending; report files made since still come over.
  ::unlink(in.in(secondary, 1).c_str());
  writeFile(primary + "/_리포트/later.json", "{}", false);
  MirrorResult again = in.run();
  EXPECT_EQ(std::pair(again.copied, reasons(again)), std::pair(1, unsafe));
  EXPECT_TRUE(exists(secondary + "/_리포트/later.json"));
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

// Three clips and a sidecar, planned the way a real card is: mirror paths with the split place
// as the view.
std::vector<Row> mirroredCard(const std::string& card, Store& store,
                              const std::vector<std::string>& roots) {
  std::vector<Row> rows;
  rows.push_back(cardRow(card, "PRIVATE/M4ROOT/CLIP/C0001.MP4", 3u << 20, 1));
  rows.push_back(cardRow(card, "PRIVATE/M4ROOT/CLIP/C0001M01.XML", 2000, 2));
  rows.push_back(cardRow(card, "PRIVATE/M4ROOT/CLIP/C0002.MP4", 5u << 20, 3));
  rows.push_back(cardRow(card, "PRIVATE/M4ROOT/CLIP/C0003.MP4", 1u << 20, 4));
  rows[1].kind = Kind::etc;
  rows[1].owner = "C0001.MP4";
  for (auto& r : rows) r.session = "1_0900-0930";
  destPaths(rows, kCam, NameSet::ko());
  EXPECT_EQ(applyStorage(StorageMode::mirror, rows, kCam, roots, NameSet::ko(), store),
            StorageMode::mirror);
  return rows;
}

// A clone shares the extents (no data copied) and carries mode and times; it never takes an
// occupied name, and where it cannot be made nothing is left, not even an empty file.
TEST(View, ClonesAndViewsOnlyWhereTheDriveCanForVerifiedCopiesAndUserMovesKept) {
  LoopMount xfs(320, "xfs"), ext4(64);
  SKIP_UNLESS_MOUNTED(xfs);
  SKIP_UNLESS_MOUNTED(ext4);
  const std::string a = xfs.path() + "/a.mov", b = xfs.path() + "/b.mov", c = xfs.path() + "/c.mov";
  writePattern(a, 24u << 20, 7);
  ASSERT_EQ(::chmod(a.c_str(), 0640), 0);
  const timespec times[2] = {{1000, 5}, {2000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, a.c_str(), times, 0), 0);
  ASSERT_EQ(cloneFile(a, b), 0);
  ASSERT_FALSE(extents(a).empty());
  EXPECT_EQ(extents(a), extents(b));
  EXPECT_EQ(hashFile(a), hashFile(b));
  struct stat sb {};
  ::stat(b.c_str(), &sb);
  EXPECT_EQ(std::tuple(sb.st_mode & 07777, sb.st_mtim.tv_sec, sb.st_mtim.tv_nsec),
            std::tuple(0640u, 2000L, 123456789L));
  writeFile(c, "keep", false);
  EXPECT_EQ(cloneFile(a, c), EEXIST);
  EXPECT_EQ(slurp(c), "keep");
  for (const auto& [from, to] : {std::pair{a, ext4.path() + "/x.mov"},
                                 std::pair{xfs.path() + "/missing", xfs.path() + "/y"}}) {
    EXPECT_NE(cloneFile(from, to), 0) << to;
    EXPECT_FALSE(exists(to));
  }

  TempDir t;
  Store store(t.path + "/db.sqlite");
  const std::string rx = xfs.path() + "/20250101_p", re = ext4.path() + "/20250101_p";
  auto rows = mirroredCard(t.path + "/card", store, {rx, re});
  auto res =
      runIngest(rows, t.path + "/card", kCam, {rx, re}, NameSet::ko(), store, 2, {}, plenty, {});
  ASSERT_EQ(res.color, CardColor::green);
  EXPECT_TRUE(makeView(rows, rx, kCam, store).empty());
  for (const auto& r : rows) {  // a view costs no second copy
    EXPECT_EQ(extents(rx + "/" + *r.view), extents(rx + "/" + *r.dest)) << *r.view;
    EXPECT_EQ(hashFile(rx + "/" + *r.view), hashFile(r.src));
  }
  // No clones on ext4: every view is reported, none is made, and no ordinary copy stands in.
  EXPECT_EQ(makeView(rows, re, kCam, store).size(), rows.size());
  for (const auto& r : rows) EXPECT_FALSE(exists(re + "/" + *r.view));
  // A second copy gets views only where its drive can clone, whatever the primary's drive.
  const std::string onXfs = xfs.path() + "/second", onExt4 = ext4.path() + "/second";
  for (const auto& [from, to] : {std::pair{re, onXfs}, std::pair{rx, onExt4}})
    EXPECT_EQ(runMirror(from, to, store, plenty, {}).failed.size(), 0u) << to;
  for (const auto& r : rows) {
    EXPECT_EQ(hashFile(onXfs + "/" + *r.view), hashFile(r.src));
    EXPECT_FALSE(exists(onExt4 + "/" + *r.view));
    EXPECT_EQ(hashFile(onExt4 + "/" + *r.dest), hashFile(r.src));
    for (const auto& to : {onXfs, onExt4})
      EXPECT_EQ(store.verifiedHash(ingestKey(kCam, r), to), hashFile(r.src)) << to;
  }
  EXPECT_EQ(store.recordedView(ingestKey(kCam, rows[0]), onExt4), rows[0].view);

  // A view the user deleted comes back; one the user moved (recorded elsewhere) does not.
  ASSERT_EQ(::unlink((rx + "/" + *rows[2].view).c_str()), 0);
  const std::string moved = parentPath(parentPath(*rows[3].view)) + "/인터뷰/C0003.MP4";
  mkdirs(parentPath(rx + "/" + moved));
  ASSERT_EQ(::rename((rx + "/" + *rows[3].view).c_str(), (rx + "/" + moved).c_str()), 0);
  ASSERT_TRUE(store.moveCopy(ingestKey(kCam, rows[3]), rx, moved, /*hasView=*/true));
  EXPECT_TRUE(makeView(rows, rx, kCam, store).empty());
  EXPECT_TRUE(exists(rx + "/" + *rows[2].view));
  EXPECT_FALSE(exists(rx + "/" + *rows[3].view));

  // A view path that would leave the project folder is refused, nothing is made.
  auto evil = rows;
  evil[0].view = "../../escaped.MP4";
  EXPECT_EQ(makeView(evil, rx, kCam, store), std::vector<std::string>{"../../escaped.MP4"});
  EXPECT_FALSE(exists(xfs.path() + "/escaped.MP4"));
}

}  // namespace
}  // namespace tolverdine
