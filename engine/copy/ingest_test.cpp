#include "engine/copy/ingest.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/copy/copy.h"
#include "engine/copy/ingest_test_util.h"

namespace tolverdine {
namespace {

using namespace tolverdine::testing;
using Card = IngestRig;

std::optional<IngestStop> stop(Card& c, const RunArgs& a) {
  return thrown<IngestStop>([&] { c.run(a); });
}

TEST(Ingest, FreshCardRerunAndReclassifiedClip) {
  Card c;
  c.addClips(3, 3000);
  Row noDest = cardRow(c.card, "STATUS.BIN", 10, 1);
  noDest.dest.reset();
  c.rows.push_back(noDest);
  Progress p;
  FakeSleep sleep;
  IngestResult r =
      c.run({.dests = {c.root1, c.root2}, .copies = 2, .progress = p.fn(), .sleep = &sleep});
  EXPECT_EQ(r.color, CardColor::yellow);  // the row without dest has no copies
  EXPECT_EQ(std::tuple(r.copied, r.skipped, r.underCopied, r.failed.size()),
            std::tuple(3, 0, 1, size_t{0}));
  EXPECT_EQ(r.verified[c.root1].size(), 3u);
  for (const auto& root : {c.root1, c.root2}) {
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(hashFile(c.at(root, c.rows[i])), hashFile(c.rows[i].src));
      EXPECT_EQ(stateOf(c.store, c.rows[i], root), "verified/1");
    }
    EXPECT_EQ(partsUnder(root), "");
    for (const auto& top : NameSet::ko().topFolders()) EXPECT_TRUE(exists(root + "/" + top)) << top;
  }
  EXPECT_EQ(std::tuple(sleep.holds, sleep.releases, sleep.reason),
            std::tuple(1, 1, std::string("TOLVERDINE 복사 중")));
  ASSERT_EQ(p.calls.size(), 5u);  // the last one, without a file, is the card's end
  EXPECT_EQ(std::tuple(p.calls[1].n, p.calls[1].file, p.calls[1].done),
            std::tuple(2, std::string("C0002.MP4"), int64_t{3000}));

  // A clip moved to another class afterwards is not copied back into its old class (a plain
  // rerun, which writes nothing, is the card-pulled test's).
  std::string moved = "01_원본/A캠/인터뷰/C0001.MP4";
  mkdirs(c.root1 + "/01_원본/A캠/인터뷰");
  ASSERT_EQ(::rename(c.at(c.root1, c.rows[0]).c_str(), (c.root1 + "/" + moved).c_str()), 0);
  ASSERT_TRUE(c.store.moveCopy(ingestKey(kCam, c.rows[0]), c.root1, moved, /*hasView=*/false));
  const int64_t rows = dbRows(c.store);
  IngestResult third = c.run({.dests = {c.root1, c.root2}, .copies = 2});
  EXPECT_EQ(std::tuple(third.copied, third.skipped, third.color, dbRows(c.store)),
            std::tuple(0, 3, CardColor::yellow, rows));
  EXPECT_FALSE(exists(c.at(c.root1, c.rows[0])));
}

TEST(Ingest, FastThenStandardAdoptsAndParanoidPasses) {
  Card c;
  c.addClips(3, 5000);
  IngestResult fast = c.run({.options = {VerifyMode::fast}});
  EXPECT_EQ(std::tuple(fast.color, fast.copied, fast.underCopied, fast.verified.size()),
            std::tuple(CardColor::yellow, 3, 3, size_t{0}));
  for (const auto& row : c.rows) EXPECT_EQ(stateOf(c.store, row, c.root1), "copied/1");

  IngestResult std_ = c.run();
  EXPECT_EQ(std::tuple(std_.color, std_.copied, std_.skipped, std_.verified[c.root1].size()),
            std::tuple(CardColor::green, 0, 3, size_t{3}));
  for (const auto& row : c.rows) {  // the fast copy's attempt plus 0 for the adoption
    EXPECT_EQ(stateOf(c.store, row, c.root1), "verified/1");
    EXPECT_EQ(dbRow(c.store, row, c.root1)->hash, hashFile(row.src));
  }

  IngestResult par =
      c.run({.dests = {c.root2}, .copies = 2, .options = {VerifyMode::paranoid, true}});
  EXPECT_EQ(std::tuple(par.color, par.copied), std::tuple(CardColor::green, 3));
  ASSERT_EQ(par.verified[c.root2].size(), 3u);
  EXPECT_EQ(par.verified[c.root2][0].md5->size(), 32u);
}

TEST(Ingest, ChecksBeforeAnythingIsWritten) {
  Card c;
  c.addClips(2, 1000);  // 1000 + 1001 bytes
  auto exact = [](int64_t v) { return [v](const std::string&) { return v; }; };
  // 2001 * 1.05 = 2101.05: 2102 passes, 2101 does not.
  EXPECT_EQ(stop(c, {.free = exact(2101)}), IngestStop::noSpace(c.root1, 2001, 2101));
  EXPECT_FALSE(exists(c.root1));
  EXPECT_EQ(c.run({.free = exact(2102)}).color, CardColor::green);
  // Verified rows need no space; 1.05 times exactly passes.
  c.addClips(1, 1998);  // 2000 bytes, the third row
  EXPECT_EQ(stop(c, {.free = exact(2099)}), IngestStop::noSpace(c.root1, 2000, 2099));
  EXPECT_EQ(c.run({.free = exact(2100)}).color, CardColor::green);
  ::unlink(c.at(c.root1, c.rows[2]).c_str());

  // A missing drive folder stops before any folder or lock is made.
  EXPECT_EQ(stop(c, {.dests = {c.root2, c.dir.path + "/nodrive/20250101_p"}}),
            IngestStop::destMissing(c.dir.path + "/nodrive"));
  EXPECT_FALSE(exists(c.root2));
  // A card root that cannot be examined.
  Card none;
  none.card = none.dir.path + "/nocard";
  EXPECT_EQ(stop(none, {}), IngestStop::cardRemoved());

  // Two rows onto one path and a file of another size in the way: both destinations in order,
  // within one the problems in row order.
  Row twin = c.rows[0];
  twin.src = c.rows[1].src;
  c.rows.push_back(twin);
  mkdirs(c.root2 + "/01_원본/A캠/기타");
  writeFile(c.at(c.root2, c.rows[1]), "short");
  const std::string twinLine =
      "20250101_p: 같은 자리로 가는 두 파일: 01_원본/A캠/기타/C0001.MP4 ← C0001.MP4 / C0002.MP4";
  EXPECT_EQ(
      stop(c, {.dests = {c.root1, c.root2}}),
      IngestStop::conflicts(
          {twinLine, "20250101_p: 이미 다른 파일이 있음: 01_원본/A캠/기타/C0002.MP4", twinLine}));
}

TEST(Ingest, FilesAlreadyInPlaceAreComparedNeverReplaced) {
  Card c;
  c.addClips(2, 4096);
  for (const auto& row : c.rows) mkdirs(parentPath(c.at(c.root1, row)));
  // Same size, other content at the first target; an identical copy at the second.
  const std::string other(4096, 'x');
  writeFile(c.at(c.root1, c.rows[0]), other);
  writeFile(c.at(c.root1, c.rows[1]), slurp(c.rows[1].src));
  IngestResult r = c.run();
  EXPECT_EQ(r.color, CardColor::red);
  EXPECT_EQ(r.failed,
            (std::vector<Failure>{
                {*c.rows[0].dest, c.root1, "같은 이름의 다른 파일이 이미 있음 — 덮어쓰지 않음"}}));
  EXPECT_EQ(slurp(c.at(c.root1, c.rows[0])), other);
  EXPECT_EQ(stateOf(c.store, c.rows[0], c.root1), "none");
  EXPECT_EQ(r.skipped, 1);
  EXPECT_EQ(stateOf(c.store, c.rows[1], c.root1), "verified/0");
  ASSERT_EQ(r.verified[c.root1].size(), 1u);
  EXPECT_FALSE(r.verified[c.root1][0].md5);
}

TEST(Ingest, ReadBackMismatchIsRetriedOnceThenFails) {
  Card c;
  c.addClips(1, 100000);
  auto flip = [](const std::string& path) {
    std::string data = slurp(path);
    data[data.size() / 2] ^= 0x01;
    writeFile(path, data);
  };
  int calls = 0;
  IngestResult r = c.run({.hooks = {[&](const Row&, auto& parts) {
                            if (calls++ == 0) flip(parts[0]);
                          }}});
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(r.color, CardColor::green);
  EXPECT_EQ(stateOf(c.store, c.rows[0], c.root1), "verified/2");
  EXPECT_EQ(hashFile(c.at(c.root1, c.rows[0])), hashFile(c.rows[0].src));

  IngestResult bad = c.run({.dests = {c.root2}, .hooks = {[&](const Row&, auto& parts) {
                                                  for (auto& p : parts) flip(p);
                                                }}});
  EXPECT_EQ(bad.color, CardColor::red);
  EXPECT_EQ(bad.failed, (std::vector<Failure>{{*c.rows[0].dest, c.root2, "검증 해시 불일치"}}));
  EXPECT_TRUE(bad.verified.empty());
  EXPECT_FALSE(exists(c.at(c.root2, c.rows[0])));
  EXPECT_EQ(partsUnder(c.root2), "");
  EXPECT_EQ(stateOf(c.store, c.rows[0], c.root2), "failed/2");
  EXPECT_FALSE(dbRow(c.store, c.rows[0], c.root2)->hash);

  // A part that cannot be read back (a folder in its place) is never taken as verified.
  EXPECT_TRUE(c.run({.dests = {c.root2 + "3"}, .hooks = {[&](const Row&, auto& parts) {
                                                 for (auto& p : parts)
                                                   ::unlink(p.c_str()), mkdirs(p);
                                               }}})
                  .verified.empty());
  // Paranoid: a card that gives other bytes the second time is never passed.
  auto changing = [&](const Row& r, auto&) { flip(r.src); };
  EXPECT_EQ(
      c.run({.dests = {c.root2 + "4"}, .options = {VerifyMode::paranoid}, .hooks = {changing}})
          .color,
      CardColor::red);
}

TEST(Ingest, SameCameraLockedByAnotherProcess) {
  Card c;
  c.addClips(1, 100);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  const std::string lock = c.root2 + "/_리포트/lock_A캠.json";
  mkdirs(c.root2 + "/_리포트");
  writeFile(lock, "{\"pid\": " + std::to_string(child) + ", \"at\": \"2026-01-01T00:00:00Z\"}");
  // A report the holder was writing: it goes only once its writer is gone.
  const std::string cut = c.root2 + "/_리포트/A캠_job.json.tmp-" + std::to_string(child) + "-1-2";
  writeFile(cut, "{");
  FakeSleep sleep;
  EXPECT_EQ(stop(c, {.dests = {c.root1, c.root2}, .sleep = &sleep}), IngestStop::locked(kCam));
  EXPECT_TRUE(exists(cut)) << "removed while its writer lives";
  EXPECT_FALSE(exists(c.root1 + "/_리포트/lock_A캠.json"));  // the first one's lock is let go
  EXPECT_TRUE(exists(lock));
  EXPECT_EQ(sleep.holds, 0);
  EXPECT_EQ(dbRows(c.store), 0);

  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  // The holder is gone: its stale lock is taken over.
  EXPECT_EQ(c.run({.dests = {c.root1, c.root2}}).color, CardColor::green);
  EXPECT_FALSE(exists(lock));
  EXPECT_FALSE(exists(cut)) << "a dead writer's temporary stays";
}

// The run's log: its counts, why it stopped, lost drives, and at most 20 failures named.
TEST(Ingest, ResultLogLines) {
  IngestResult r;
  r.color = CardColor::red;
  r.copied = 3;
  r.skipped = 1;
  r.underCopied = 2;
  r.stopped = IngestStop::cardRemoved();
  r.lostDests = {"/mnt/b/20250101_x"};
  for (int i = 0; i < 22; ++i) r.failed.push_back({"a/" + std::to_string(i), "/mnt/a/p", "검증"});
  auto lines = resultLog(r, "CARD", "A캠", 12.9, 1290000000);
  ASSERT_EQ(lines.size(), 24u);
  EXPECT_EQ(lines[0],
            "결과: CARD · A캠 · red · 복사 3 기존 1 실패 22 사본부족 2 · 12초 · 100 MB/s");
  EXPECT_EQ(lines[1].rfind("멈춤 원인: CARD · 카드가 분리됐습니다.", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], "목적지 분리: /mnt/b/20250101_x");
  EXPECT_EQ(lines[23], "실패 2개 더 — 리포트 CSV 참고");
  r = {};
  EXPECT_EQ(resultLog(r, "C", "B", 0, 5).size(), 1u) << "nothing to add to the counts";
}

}  // namespace
}  // namespace tolverdine
