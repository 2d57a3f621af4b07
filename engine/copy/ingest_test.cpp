#include "engine/copy/ingest.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "engine/base/names.h"
#include "engine/copy/copy.h"
#include "engine/copy/copy_group.h"
#include "engine/copy/ingest_test_util.h"

namespace tolverdine {
namespace {

using namespace tolverdine::testing;
using Hook = std::function<void(const Row&, const std::vector<std::string>&)>;

struct Card {
  TempDir dir;
  TempDrive one, two;
  std::string card = dir.path + "/card";
  std::string drive1 = one.path + "/d1", drive2 = two.path + "/d2";
  std::string root1 = drive1 + "/20250101_테스트", root2 = drive2 + "/20250101_테스트";
  Store store{dir.path + "/db.sqlite"};
  std::vector<Row> rows;
  Card() {
    mkdirs(card);
    mkdirs(drive1);
    mkdirs(drive2);
  }
  void add(int n, size_t size) {
    for (int i = 0; i < n; ++i) {
      char rel[64];
      std::snprintf(rel, sizeof rel, "PRIVATE/M4ROOT/CLIP/C%04d.MP4", int(rows.size()) + 1);
      rows.push_back(cardRow(card, rel, size + rows.size(), unsigned(rows.size()) + 7));
    }
  }
  IngestResult run(std::vector<std::string> dests, IngestOptions o = {}, int copies = 1,
                   const FreeBytesFn& free = plenty, const Hook& hook = {},
                   const ProgressFn& p = {}, SleepGuard* sleep = nullptr) {
    return runIngest(rows, card, kCam, dests, NameSet::ko(), store, copies, o, free, p, sleep,
                     IngestHooks{hook});
  }
  std::optional<IngestStop> stop(std::vector<std::string> dests, const FreeBytesFn& free = plenty,
                                 SleepGuard* sleep = nullptr) {
    return thrown<IngestStop>([&] { run(dests, {}, 1, free, {}, {}, sleep); });
  }
  std::string at(const std::string& root, const Row& r) { return root + "/" + *r.dest; }
};

TEST(Ingest, FreshCardRerunAndReclassifiedClip) {
  Card c;
  c.add(3, 3000);
  Row noDest = cardRow(c.card, "STATUS.BIN", 10, 1);
  noDest.dest.reset();
  c.rows.push_back(noDest);
  Progress p;
  FakeSleep sleep;
  IngestResult r = c.run({c.root1, c.root2}, {}, 2, plenty, {}, p.fn(), &sleep);
  EXPECT_EQ(r.color, CardColor::yellow);  // the row without dest has no copies
  EXPECT_EQ(std::tuple(r.copied, r.skipped, r.underCopied, r.failed.size()),
            std::tuple(3, 0, 1, size_t{0}));
  ASSERT_EQ(r.verified[c.root1].size(), 3u);
  EXPECT_EQ(r.verified[c.root1][0].row, c.rows[0]);
  for (const auto& root : {c.root1, c.root2}) {
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(hashFile(c.at(root, c.rows[i])), hashFile(c.rows[i].src));
      EXPECT_EQ(stateOf(c.store, c.rows[i], root), "verified/1");
    }
    EXPECT_EQ(partsUnder(root), "");
    for (const auto& top : NameSet::ko().topFolders()) EXPECT_TRUE(exists(root + "/" + top)) << top;
    EXPECT_FALSE(exists(root + "/_리포트/lock_A캠.json"));
  }
  EXPECT_EQ(std::tuple(sleep.holds, sleep.releases, sleep.reason),
            std::tuple(1, 1, std::string("TOLVERDINE 복사 중")));
  ASSERT_EQ(p.calls.size(), 5u);
  EXPECT_EQ(std::tuple(p.calls[1].n, p.calls[1].file, p.calls[1].done),
            std::tuple(2, std::string("C0002.MP4"), int64_t{3000}));
  EXPECT_EQ(std::tuple(p.calls[4].n, p.calls[4].file, p.calls[4].done),
            std::tuple(4, std::string(), p.calls[4].total));

  // A clip moved to another class afterwards is not copied back into its old class (a plain
  // rerun, which writes nothing, is the card-pulled test's).
  std::string moved = "01_원본/A캠/인터뷰/C0001.MP4";
  mkdirs(c.root1 + "/01_원본/A캠/인터뷰");
  ASSERT_EQ(::rename(c.at(c.root1, c.rows[0]).c_str(), (c.root1 + "/" + moved).c_str()), 0);
  ASSERT_TRUE(c.store.moveCopy(ingestKey(kCam, c.rows[0]), c.root1, moved, /*hasView=*/false));
  const int64_t rows = dbRows(c.store);
  IngestResult third = c.run({c.root1, c.root2}, {}, 2);
  EXPECT_EQ(std::tuple(third.copied, third.skipped, third.color, dbRows(c.store)),
            std::tuple(0, 3, CardColor::yellow, rows));
  EXPECT_FALSE(exists(c.at(c.root1, c.rows[0])));
}

TEST(Ingest, FastThenStandardAdoptsAndParanoidPasses) {
  Card c;
  c.add(3, 5000);
  IngestResult fast = c.run({c.root1}, {VerifyMode::fast, false});
  EXPECT_EQ(std::tuple(fast.color, fast.copied, fast.underCopied, fast.verified.size()),
            std::tuple(CardColor::yellow, 3, 3, size_t{0}));
  for (const auto& row : c.rows) EXPECT_EQ(stateOf(c.store, row, c.root1), "copied/1");

  IngestResult std_ = c.run({c.root1});
  EXPECT_EQ(std::tuple(std_.color, std_.copied, std_.skipped, std_.verified[c.root1].size()),
            std::tuple(CardColor::green, 0, 3, size_t{3}));
  for (const auto& row : c.rows) {  // the fast copy's attempt plus 0 for the adoption
    EXPECT_EQ(stateOf(c.store, row, c.root1), "verified/1");
    EXPECT_EQ(dbRow(c.store, row, c.root1)->hash, hashFile(row.src));
  }

  IngestResult par = c.run({c.root2}, {VerifyMode::paranoid, true}, 2);
  EXPECT_EQ(std::tuple(par.color, par.copied), std::tuple(CardColor::green, 3));
  ASSERT_EQ(par.verified[c.root2].size(), 3u);
  EXPECT_EQ(par.verified[c.root2][0].md5->size(), 32u);
}

TEST(Ingest, ChecksBeforeAnythingIsWritten) {
  Card c;
  c.add(2, 1000);  // 1000 + 1001 bytes
  auto exact = [](int64_t v) { return [v](const std::string&) { return v; }; };
  // 2001 * 1.05 = 2101.05: 2102 passes, 2101 does not.
  EXPECT_EQ(c.stop({c.root1}, exact(2101)), IngestStop::noSpace(c.root1, 2001, 2101));
  EXPECT_FALSE(exists(c.root1));
  EXPECT_EQ(c.run({c.root1}, {}, 1, exact(2102)).color, CardColor::green);
  // Verified rows need no space; 1.05 times exactly passes.
  c.add(1, 1998);  // 2000 bytes, the third row
  EXPECT_EQ(c.stop({c.root1}, exact(2099)), IngestStop::noSpace(c.root1, 2000, 2099));
  EXPECT_EQ(c.run({c.root1}, {}, 1, exact(2100)).color, CardColor::green);
  ::unlink(c.at(c.root1, c.rows[2]).c_str());

  // A missing drive folder stops before any folder or lock is made.
  EXPECT_EQ(c.stop({c.root2, c.dir.path + "/nodrive/20250101_테스트"}),
            IngestStop::destMissing(c.dir.path + "/nodrive"));
  EXPECT_FALSE(exists(c.root2));
  // A card root that cannot be examined.
  Card none;
  none.card = none.dir.path + "/nocard";
  EXPECT_EQ(none.stop({none.root1}), IngestStop::cardRemoved());

  // Two rows onto one path and a file of another size in the way: both destinations in order,
  // within one the problems in row order.
  Row twin = c.rows[0];
  twin.src = c.rows[1].src;
  c.rows.push_back(twin);
  mkdirs(c.root2 + "/01_원본/A캠/기타");
  writeFile(c.at(c.root2, c.rows[1]), "short");
  const std::string twinLine =
      "20250101_테스트: 같은 자리로 가는 두 파일: 01_원본/A캠/기타/C0001.MP4 ← C0001.MP4 / C0002.MP4";
  EXPECT_EQ(c.stop({c.root1, c.root2}),
            IngestStop::conflicts(
                {twinLine, "20250101_테스트: 이미 다른 파일이 있음: 01_원본/A캠/기타/C0002.MP4",
                 twinLine}));
}

TEST(Ingest, FilesAlreadyInPlaceAreComparedNeverReplaced) {
  Card c;
  c.add(2, 4096);
  for (const auto& row : c.rows) mkdirs(parentPath(c.at(c.root1, row)));
  // Same size, other content at the first target; an identical copy at the second.
  const std::string other(4096, 'x');
  writeFile(c.at(c.root1, c.rows[0]), other);
  writeFile(c.at(c.root1, c.rows[1]), slurp(c.rows[1].src));
  IngestResult r = c.run({c.root1});
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
  c.add(1, 100000);
  auto flip = [](const std::string& path) {
    std::string data = slurp(path);
    data[data.size() / 2] ^= 0x01;
    writeFile(path, data);
  };
  int calls = 0;
  IngestResult r = c.run({c.root1}, {}, 1, plenty, [&](const Row&, auto& parts) {
    if (calls++ == 0) flip(parts[0]);
  });
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(r.color, CardColor::green);
  EXPECT_EQ(stateOf(c.store, c.rows[0], c.root1), "verified/2");
  EXPECT_EQ(hashFile(c.at(c.root1, c.rows[0])), hashFile(c.rows[0].src));

  IngestResult bad = c.run({c.root2}, {}, 1, plenty, [&](const Row&, auto& parts) {
    for (auto& p : parts) flip(p);
  });
  EXPECT_EQ(bad.color, CardColor::red);
  EXPECT_EQ(bad.failed, (std::vector<Failure>{{*c.rows[0].dest, c.root2, "검증 해시 불일치"}}));
  EXPECT_TRUE(bad.verified.empty());
  EXPECT_FALSE(exists(c.at(c.root2, c.rows[0])));
  EXPECT_EQ(partsUnder(c.root2), "");
  EXPECT_EQ(stateOf(c.store, c.rows[0], c.root2), "failed/2");
  EXPECT_FALSE(dbRow(c.store, c.rows[0], c.root2)->hash);

  // A part that cannot be read back (a folder in its place) is never taken as verified.
  EXPECT_TRUE(c.run({c.drive2 + "/p3"}, {}, 1, plenty, [&](const Row&, auto& parts) {
                 for (auto& p : parts) ::unlink(p.c_str()), mkdirs(p);
               }).verified.empty());
  // Paranoid: a card that gives other bytes the second time is never passed.
  EXPECT_EQ(c.run({c.drive2 + "/p4"}, {VerifyMode::paranoid}, 1, plenty,
                  [&](const Row& r, auto&) { flip(r.src); })
                .color,
            CardColor::red);
}

TEST(Ingest, SameCameraLockedByAnotherProcess) {
  Card c;
  c.add(1, 100);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  const std::string lock = c.root2 + "/_리포트/lock_A캠.json";
  mkdirs(c.root2 + "/_리포트");
  writeFile(lock, "{\"pid\": " + std::to_string(child) + ", \"at\": \"2026-01-01T00:00:00Z\"}");
  // A report the holder was writing, and one of a process still at work.
  const std::string cut = c.root2 + "/_리포트/A캠_job.json.tmp-" + std::to_string(child) + "-1-2";
  const std::string busy = c.root2 + "/_리포트/B캠_job.json.tmp-1-1-2";
  writeFile(cut, "{");
  writeFile(busy, "{");
  FakeSleep sleep;
  EXPECT_EQ(c.stop({c.root1, c.root2}, plenty, &sleep), IngestStop::locked(kCam));
  EXPECT_TRUE(exists(cut)) << "removed while its writer lives";
  EXPECT_FALSE(exists(c.root1 + "/_리포트/lock_A캠.json"));  // the first one's lock is let go
  EXPECT_TRUE(exists(lock));
  EXPECT_EQ(sleep.holds, 0);
  EXPECT_EQ(dbRows(c.store), 0);

  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  // The holder is gone: its stale lock is taken over.
  EXPECT_EQ(c.run({c.root1, c.root2}).color, CardColor::green);
  EXPECT_FALSE(exists(lock));
  EXPECT_FALSE(exists(cut)) << "a dead writer's temporary stays";
  EXPECT_TRUE(exists(busy));
}

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
  EXPECT_EQ(
      lines[1],
      "멈춤 원인: CARD · 카드가 분리됐습니다. 같은 카드를 다시 꽂고 다시 실행하면 이어서 받습니다.");
  EXPECT_EQ(lines[2], "목적지 분리: /mnt/b/20250101_x");
  EXPECT_EQ(lines[22], "실패: a/19 → /mnt/a/p · 검증");
  EXPECT_EQ(lines[23], "실패 2개 더 — 리포트 CSV 참고");
  r = {};
  r.color = CardColor::green;
  EXPECT_EQ(
      resultLog(r, "C", "B", 0, 5),
      std::vector<std::string>{"결과: C · B · green · 복사 0 기존 0 실패 0 사본부족 0 · 0초"});
}

}  // namespace
}  // namespace tolverdine
