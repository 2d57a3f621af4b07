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
      std::snprintf(rel, sizeof rel, "PRIVATE/M4ROOT/CLIP/C%04d.MP4",
                    static_cast<int>(rows.size()) + 1);
      rows.push_back(
          cardRow(card, rel, size + rows.size(), static_cast<unsigned>(rows.size()) + 7));
    }
  }
  IngestResult run(std::vector<std::string> dests, IngestOptions o = {}, int copies = 1,
                   const FreeBytesFn& free = plenty, const ProgressFn& p = {},
                   SleepGuard* sleep = nullptr, const IngestHooks& hooks = {}) {
    return runIngest(rows, card, kCam, dests, NameSet::ko(), store, copies, o, free, p, sleep,
                     hooks);
  }
};

IngestStop stopOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const IngestStop& s) {
    return s;
  } catch (...) {
    ADD_FAILURE() << "other exception";
    return IngestStop::cardRemoved();
  }
  ADD_FAILURE() << "no IngestStop thrown";
  return IngestStop::cardRemoved();
}

TEST(Ingest, FreshCardRerunAndReclassifiedClip) {
  Card c;
  c.add(3, 3000);
  Row noDest = cardRow(c.card, "STATUS.BIN", 10, 1);
  noDest.dest.reset();
  c.rows.push_back(noDest);
  Progress p;
  FakeSleep sleep;
  IngestResult r = c.run({c.root1, c.root2}, {}, 2, plenty, p.fn(), &sleep);
  EXPECT_EQ(r.color, CardColor::yellow);  // the row without dest has no copies
  EXPECT_EQ(r.copied, 3);
  EXPECT_EQ(r.skipped, 0);
  EXPECT_TRUE(r.failed.empty());
  EXPECT_EQ(r.underCopied, 1);
  ASSERT_EQ(r.verified[c.root1].size(), 3u);
  EXPECT_EQ(r.verified[c.root1][0].row, c.rows[0]);
  for (const auto& root : {c.root1, c.root2}) {
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(hashFile(root + "/" + *c.rows[i].dest), hashFile(c.rows[i].src));
      EXPECT_EQ(partsUnder(root), "");
      auto row = dbRow(c.store, c.rows[i], root);
      ASSERT_TRUE(row);
      EXPECT_EQ(row->state, "verified");
      EXPECT_EQ(row->attempts, 1);
    }
    for (const auto& top : NameSet::ko().topFolders()) EXPECT_TRUE(exists(root + "/" + top)) << top;
    EXPECT_FALSE(exists(root + "/_리포트/lock_A캠.json"));
  }
  EXPECT_EQ(sleep.holds, 1);
  EXPECT_EQ(sleep.releases, 1);
  EXPECT_EQ(sleep.reason, "TOLVERDINE 복사 중");
  ASSERT_EQ(p.calls.size(), 5u);
  EXPECT_EQ(p.calls[1].n, 2);
  EXPECT_EQ(p.calls[1].file, "C0002.MP4");
  EXPECT_EQ(p.calls[1].done, 3000);
  EXPECT_EQ(p.calls[4].n, 4);
  EXPECT_EQ(p.calls[4].file, "");
  EXPECT_EQ(p.calls[4].done, p.calls[4].total);

  // Second run: nothing copied, nothing written to the database, same colour.
  std::string at0 = dbRow(c.store, c.rows[0], c.root1)->at;
  int64_t before = dbRows(c.store);
  ::sleep(1);
  IngestResult again = c.run({c.root1, c.root2}, {}, 2);
  EXPECT_EQ(again.copied, 0);
  EXPECT_EQ(again.skipped, 3);
  EXPECT_EQ(again.color, CardColor::yellow);
  EXPECT_EQ(dbRows(c.store), before);
  EXPECT_EQ(dbRow(c.store, c.rows[0], c.root1)->at, at0);
  EXPECT_EQ(dbRow(c.store, c.rows[0], c.root1)->attempts, 1);

  // A clip moved to another class afterwards is not copied back into its old class.
  std::string moved = "01_원본/A캠/인터뷰/C0001.MP4";
  mkdirs(c.root1 + "/01_원본/A캠/인터뷰");
  ASSERT_EQ(::rename((c.root1 + "/" + *c.rows[0].dest).c_str(), (c.root1 + "/" + moved).c_str()),
            0);
  ASSERT_TRUE(c.store.moveCopy(ingestKey(kCam, c.rows[0]), c.root1, moved, /*hasView=*/false));
  IngestResult third = c.run({c.root1, c.root2}, {}, 2);
  EXPECT_EQ(third.copied, 0);
  EXPECT_EQ(third.skipped, 3);
  EXPECT_FALSE(exists(c.root1 + "/" + *c.rows[0].dest));

  // A verified copy whose file was deleted (and not moved) is copied again.
  ::unlink((c.root2 + "/" + *c.rows[1].dest).c_str());
  IngestResult fourth = c.run({c.root1, c.root2}, {}, 2);
  EXPECT_EQ(fourth.copied, 1);
  EXPECT_EQ(dbRow(c.store, c.rows[1], c.root2)->attempts, 2);
}

TEST(Ingest, FastThenStandardAdoptsAndParanoidPasses) {
  Card c;
  c.add(3, 5000);
  IngestResult fast = c.run({c.root1}, {VerifyMode::fast, false});
  EXPECT_EQ(fast.color, CardColor::yellow);
  EXPECT_EQ(fast.copied, 3);
  EXPECT_TRUE(fast.verified.empty());
  EXPECT_EQ(fast.underCopied, 3);
  for (const auto& row : c.rows) EXPECT_EQ(dbRow(c.store, row, c.root1)->state, "copied");

  IngestResult std_ = c.run({c.root1});
  EXPECT_EQ(std_.color, CardColor::green);
  EXPECT_EQ(std_.copied, 0);
  EXPECT_EQ(std_.skipped, 3);
  EXPECT_EQ(std_.verified[c.root1].size(), 3u);
  for (const auto& row : c.rows) {
    auto db = dbRow(c.store, row, c.root1);
    EXPECT_EQ(db->state, "verified");
    EXPECT_EQ(db->attempts, 1);  // the fast copy's attempt plus 0 for the adoption
    EXPECT_EQ(db->hash, hashFile(row.src));
  }

  IngestResult par = c.run({c.root2}, {VerifyMode::paranoid, true}, 2);
  EXPECT_EQ(par.color, CardColor::green);
  EXPECT_EQ(par.copied, 3);
  ASSERT_EQ(par.verified[c.root2].size(), 3u);
  EXPECT_EQ(par.verified[c.root2][0].md5->size(), 32u);
}

TEST(Ingest, ChecksBeforeAnythingIsWritten) {
  Card c;
  c.add(2, 1000);  // 1000 + 1001 bytes
  const int64_t need = 2001;
  auto exact = [](int64_t v) { return [v](const std::string&) { return v; }; };
  // 2001 * 1.05 = 2101.05: 2102 passes, 2101 does not.
  IngestStop s = stopOf([&] { c.run({c.root1}, {}, 1, exact(2101)); });
  EXPECT_EQ(s, IngestStop::noSpace(c.root1, need, 2101));
  EXPECT_FALSE(exists(c.root1));
  EXPECT_EQ(c.run({c.root1}, {}, 1, exact(2102)).color, CardColor::green);

  // Verified rows need no space; 1.05 times exactly passes.
  c.add(1, 1998);  // 2000 bytes, the third row
  EXPECT_EQ(stopOf([&] { c.run({c.root1}, {}, 1, exact(2099)); }),
            IngestStop::noSpace(c.root1, 2000, 2099));
  EXPECT_EQ(c.run({c.root1}, {}, 1, exact(2100)).color, CardColor::green);
  ::unlink((c.root1 + "/" + *c.rows[2].dest).c_str());

  // A missing drive folder stops before any folder or lock is made.
  std::string gone = c.dir.path + "/nodrive/20250101_테스트";
  s = stopOf([&] { c.run({c.root2, gone}); });
  EXPECT_EQ(s, IngestStop::destMissing(c.dir.path + "/nodrive"));
  EXPECT_FALSE(exists(c.root2));

  // A card root that cannot be examined.
  Card none;
  none.card = none.dir.path + "/nocard";
  EXPECT_EQ(stopOf([&] { none.run({none.root1}); }), IngestStop::cardRemoved());

  // Two rows onto one path and a file of another size in the way.
  Row twin = c.rows[0];
  twin.src = c.rows[1].src;
  c.rows.push_back(twin);
  mkdirs(c.root2 + "/01_원본/A캠/기타");
  writeFile(c.root2 + "/" + *c.rows[1].dest, "short");
  s = stopOf([&] { c.run({c.root1, c.root2}); });
  ASSERT_TRUE(s.is<IngestStop::Conflicts>());
  auto lines = std::get<IngestStop::Conflicts>(s.value).lines;
  // Both destinations in order; within one, the problems in row order.
  const std::string twinLine =
      "20250101_테스트: 같은 자리로 가는 두 파일: 01_원본/A캠/기타/C0001.MP4 ← C0001.MP4 / C0002.MP4";
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                twinLine, "20250101_테스트: 이미 다른 파일이 있음: 01_원본/A캠/기타/C0002.MP4",
                twinLine}));
}

TEST(Ingest, FilesAlreadyInPlaceAreComparedNeverReplaced) {
  Card c;
  c.add(2, 4096);
  for (const auto& row : c.rows) mkdirs(c.root1 + "/" + parentPath(*row.dest));
  // Same size, other content at the first target; an identical copy at the second.
  std::string other(4096, 'x');
  writeFile(c.root1 + "/" + *c.rows[0].dest, other);
  std::string same;
  ASSERT_TRUE(readFile(c.rows[1].src, &same));
  writeFile(c.root1 + "/" + *c.rows[1].dest, same);

  IngestResult r = c.run({c.root1});
  EXPECT_EQ(r.color, CardColor::red);
  ASSERT_EQ(r.failed.size(), 1u);
  EXPECT_EQ(r.failed[0], (Failure{*c.rows[0].dest, c.root1,
                                  "같은 이름의 다른 파일이 이미 있음 — 덮어쓰지 않음"}));
  std::string got;
  ASSERT_TRUE(readFile(c.root1 + "/" + *c.rows[0].dest, &got));
  EXPECT_EQ(got, other);
  EXPECT_FALSE(dbRow(c.store, c.rows[0], c.root1));
  EXPECT_EQ(r.skipped, 1);
  auto adopted = dbRow(c.store, c.rows[1], c.root1);
  ASSERT_TRUE(adopted);
  EXPECT_EQ(adopted->state, "verified");
  EXPECT_EQ(adopted->attempts, 0);
  ASSERT_EQ(r.verified[c.root1].size(), 1u);
  EXPECT_FALSE(r.verified[c.root1][0].md5);

  // Another client takes the name between the copy and its move into place: kept, and the
  // user is told so, not that the drive returned wrong bytes.
  c.add(1, 4096);
  const Row& late = c.rows.back();
  IngestHooks hooks;
  hooks.beforeVerify = [&](const Row& row, const std::vector<std::string>&) {
    if (row.src == late.src) writeFile(c.root1 + "/" + *late.dest, other);
  };
  IngestResult again = c.run({c.root1}, {}, 1, plenty, {}, nullptr, hooks);
  EXPECT_EQ(again.color, CardColor::red);
  ASSERT_EQ(again.failed.size(), 2u);  // the first row's stranger, and this one
  EXPECT_NE(
      std::find(again.failed.begin(), again.failed.end(),
                Failure{*late.dest, c.root1, "같은 이름의 다른 파일이 이미 있음 — 덮어쓰지 않음"}),
      again.failed.end());
  ASSERT_TRUE(readFile(c.root1 + "/" + *late.dest, &got));
  EXPECT_EQ(got, other);
  EXPECT_EQ(partsUnder(c.root1), "");
  EXPECT_FALSE(dbRow(c.store, late, c.root1));
}

TEST(Ingest, ReadBackMismatchIsRetriedOnceThenFails) {
  Card c;
  c.add(1, 100000);
  auto flip = [](const std::string& path) {
    std::string data;
    ASSERT_TRUE(readFile(path, &data));
    data[data.size() / 2] ^= 0x01;
    writeFile(path, data);
  };
  int calls = 0;
  IngestHooks once;
  once.beforeVerify = [&](const Row&, const std::vector<std::string>& parts) {
    if (calls++ == 0) flip(parts[0]);
  };
  IngestResult r = c.run({c.root1}, {}, 1, plenty, {}, nullptr, once);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(r.color, CardColor::green);
  EXPECT_EQ(dbRow(c.store, c.rows[0], c.root1)->attempts, 2);
  EXPECT_EQ(hashFile(c.root1 + "/" + *c.rows[0].dest), hashFile(c.rows[0].src));

  IngestHooks always;
  always.beforeVerify = [&](const Row&, const std::vector<std::string>& parts) {
    for (auto& p : parts) flip(p);
  };
  IngestResult bad = c.run({c.root2}, {}, 1, plenty, {}, nullptr, always);
  EXPECT_EQ(bad.color, CardColor::red);
  ASSERT_EQ(bad.failed.size(), 1u);
  EXPECT_EQ(bad.failed[0].why, "검증 해시 불일치");
  EXPECT_TRUE(bad.verified.empty());
  EXPECT_FALSE(exists(c.root2 + "/" + *c.rows[0].dest));
  EXPECT_EQ(partsUnder(c.root2), "");
  auto db = dbRow(c.store, c.rows[0], c.root2);
  EXPECT_EQ(db->state, "failed");
  EXPECT_EQ(db->attempts, 2);
  EXPECT_FALSE(db->hash);

  // A part that cannot be read back (a folder in its place) is never taken as verified.
  IngestHooks unreadable;
  unreadable.beforeVerify = [&](const Row&, const std::vector<std::string>& parts) {
    for (auto& p : parts) ::unlink(p.c_str()), mkdirs(p);
  };
  EXPECT_TRUE(c.run({c.drive2 + "/p3"}, {}, 1, plenty, {}, nullptr, unreadable).verified.empty());
  // Paranoid: a card that gives other bytes the second time is never passed.
  IngestHooks flipCard;
  flipCard.beforeVerify = [&](const Row& r, const std::vector<std::string>&) { flip(r.src); };
  EXPECT_EQ(
      c.run({c.drive2 + "/p4"}, {VerifyMode::paranoid}, 1, plenty, {}, nullptr, flipCard).color,
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
  mkdirs(c.root2 + "/_리포트");
  writeFile(c.root2 + "/_리포트/lock_A캠.json",
            "{\"pid\": " + std::to_string(child) +
                ", \"at\": \"2026-01-01T00:00:00Z\", \"by\": \"tolverdine-mac\"}");
  // A report the holder was writing, and one of a process still at work.
  const std::string cut = c.root2 + "/_리포트/A캠_job.json.tmp-" + std::to_string(child) + "-1-2";
  const std::string busy = c.root2 + "/_리포트/B캠_job.json.tmp-1-1-2";
  writeFile(cut, "{");
  writeFile(busy, "{");
  FakeSleep sleep;
  IngestStop s = stopOf([&] { c.run({c.root1, c.root2}, {}, 1, plenty, {}, &sleep); });
  EXPECT_EQ(s, IngestStop::locked(kCam));
  EXPECT_TRUE(exists(cut)) << "removed while its writer lives";
  EXPECT_FALSE(
      exists(c.root1 + "/_리포트/lock_A캠.json"));  // the first destination's lock is let go
  EXPECT_TRUE(exists(c.root2 + "/_리포트/lock_A캠.json"));
  EXPECT_EQ(sleep.holds, 0);
  EXPECT_EQ(dbRows(c.store), 0);

  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  // The holder is gone: its stale lock is taken over.
  EXPECT_EQ(c.run({c.root1, c.root2}).color, CardColor::green);
  EXPECT_FALSE(exists(c.root2 + "/_리포트/lock_A캠.json"));
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
  for (int i = 0; i < 22; ++i)
    r.failed.push_back({"a/" + std::to_string(i), "/mnt/a/p", "검증 해시 불일치"});
  auto lines = resultLog(r, "CARD", "A캠", 12.9, 1290000000);
  ASSERT_EQ(lines.size(), 1u + 1 + 1 + 20 + 1);
  EXPECT_EQ(lines[0],
            "결과: CARD · A캠 · red · 복사 3 기존 1 실패 22 사본부족 2 · 12초 · 100 MB/s");
  EXPECT_EQ(
      lines[1],
      "멈춤 원인: CARD · 카드가 분리됐습니다. 같은 카드를 다시 꽂고 다시 실행하면 이어서 받습니다.");
  EXPECT_EQ(lines[2], "목적지 분리: /mnt/b/20250101_x");
  EXPECT_EQ(lines[3], "실패: a/0 → /mnt/a/p · 검증 해시 불일치");
  EXPECT_EQ(lines[22], "실패: a/19 → /mnt/a/p · 검증 해시 불일치");
  EXPECT_EQ(lines[23], "실패 2개 더 — 리포트 CSV 참고");
  IngestResult g;
  g.color = CardColor::green;
  EXPECT_EQ(
      resultLog(g, "C", "B", 0, 5),
      std::vector<std::string>{"결과: C · B · green · 복사 0 기존 0 실패 0 사본부족 0 · 0초"});
}

}  // namespace
}  // namespace tolverdine
