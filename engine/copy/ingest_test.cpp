#include "engine/copy/ingest.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include "engine/base/canonical_path.h"
#include "engine/copy/copy.h"
#include "engine/copy/ingest_test_util.h"

namespace tolverdine {
namespace {

using namespace tolverdine::testing;
using Card = IngestRig;

// The highest counts heard; reports come from the run's several threads.
BytesFn highest(ByteProgress& out) {
  out = {};
  return [&out, lock = std::make_shared<std::mutex>()](const ByteProgress& b) {
    std::lock_guard<std::mutex> hold(*lock);
    out = {std::max(out.copied, b.copied), std::max(out.verified, b.verified), b.total};
  };
}

std::optional<IngestStop> stop(Card& c, const RunArgs& a) {
  return thrown<IngestStop>([&] { c.run(a); });
}

TEST(Ingest, FreshCardOfManyFilesRerunAndReclassifiedClip) {
  Card c;
  // Groups of small files fill up, and a large file in between drains the small ones before it.
  for (int i = 0; i < 150; ++i) {
    c.add("DCIM/100CANON/IMG_" + std::to_string(1000 + i) + ".JPG",
          1000 + 37 * static_cast<size_t>(i));
    if (i == 70) c.add("DCIM/100CANON/BIG_0001.MOV", (20u << 20) + 5);
  }
  // A name too long for the part suffix is copied under a short temporary name.
  c.add("DCIM/100CANON/" + std::string(251, 'n') + ".JPG", 4000);
  const size_t n = c.rows.size();
  c.add("STATUS.BIN", 10).dest.reset();  // a row without dest has no copies: yellow
  FakeSleep sleep;
  ByteProgress last;
  IngestResult r =
      c.run({.dests = {c.root1, c.root2}, .copies = 2, .sleep = &sleep, .bytes = highest(last)});
  EXPECT_EQ(std::tuple(r.color, r.copied, r.skipped, r.underCopied, r.failed.size()),
            std::tuple(CardColor::yellow, 152, 0, 1, size_t{0}));
  // Both counts end at the card's size: the bytes read from it and the bytes read back.
  EXPECT_GT(last.total, 20 << 20);
  EXPECT_EQ(std::tuple(last.copied, last.verified), std::tuple(last.total, last.total));
  for (const auto& root : {c.root1, c.root2}) {
    ASSERT_EQ(r.verified[root].size(), n);
    for (size_t i = 0; i < n; ++i) {
      EXPECT_EQ(r.verified[root][i].row.rel, c.rows[i].rel);  // card order
      EXPECT_EQ(hashFile(c.at(root, c.rows[i])), hashFile(c.rows[i].src)) << c.rows[i].rel;
      EXPECT_EQ(stateOf(c.store, c.rows[i], root), "verified/1");
    }
    EXPECT_EQ(partsUnder(root), "");
    for (const auto& top : NameSet::ko().topFolders()) EXPECT_TRUE(exists(root + "/" + top)) << top;
  }
  EXPECT_EQ(std::tuple(sleep.holds, sleep.releases, sleep.reason),
            std::tuple(1, 1, std::string("TOLVERDINE 복사 중")));
  // The database file was written in groups: another connection sees every row.
  Store other(c.dir.path + "/db.sqlite");
  EXPECT_EQ(dbRows(other), 304);

  // A clip moved to another class afterwards is not copied back into its old class (a plain
  // rerun, which writes nothing, is the card-pulled test's); the others are skipped.
  std::string moved = "01_원본/A캠/인터뷰/IMG_1000.JPG";
  mkdirs(c.root1 + "/01_원본/A캠/인터뷰");
  ASSERT_EQ(::rename(c.at(c.root1, c.rows[0]).c_str(), (c.root1 + "/" + moved).c_str()), 0);
  ASSERT_TRUE(c.store.moveCopy(ingestKey(kCam, c.rows[0]), c.root1, moved, /*hasView=*/false));
  IngestResult again = c.run({.dests = {c.root1, c.root2}, .copies = 2});
  EXPECT_EQ(std::tuple(again.copied, again.skipped, again.color, dbRows(c.store)),
            std::tuple(0, 152, CardColor::yellow, int64_t{304}));
  EXPECT_FALSE(exists(c.at(c.root1, c.rows[0])));
}

// Fast copies, adopted by a standard run once read back; unrecorded files at the target, compared
// and adopted or left as they are, never replaced; then a paranoid run with MD5.
TEST(Ingest, FilesAlreadyThereAreComparedNeverReplaced) {
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

  // Same size, other content at the first target; an identical copy at the second.
  mkdirs(parentPath(c.at(c.root2, c.rows[0])));
  const std::string other(5000, 'x');
  writeFile(c.at(c.root2, c.rows[0]), other);
  writeFile(c.at(c.root2, c.rows[1]), slurp(c.rows[1].src));
  IngestResult r = c.run({.dests = {c.root2}, .copies = 2});
  EXPECT_EQ(std::tuple(r.color, r.copied, r.skipped), std::tuple(CardColor::red, 1, 1));
  EXPECT_EQ(r.failed,
            (std::vector<Failure>{
                {*c.rows[0].dest, c.root2, "같은 이름의 다른 파일이 이미 있음 — 덮어쓰지 않음"}}));
  EXPECT_EQ(slurp(c.at(c.root2, c.rows[0])), other);
  EXPECT_EQ(stateOf(c.store, c.rows[0], c.root2) + stateOf(c.store, c.rows[1], c.root2),
            "noneverified/0");
  ASSERT_EQ(r.verified[c.root2].size(), 2u);
  EXPECT_FALSE(r.verified[c.root2][0].md5);

  const std::string third = c.root2 + "3";
  ByteProgress last;
  IngestResult par = c.run({.dests = {third},
                            .copies = 2,
                            .options = {VerifyMode::paranoid, true},
                            .bytes = highest(last)});
  EXPECT_EQ(std::tuple(par.color, par.copied), std::tuple(CardColor::green, 3));
  EXPECT_EQ(std::tuple(last.copied, last.verified), std::tuple(last.total, last.total));
  ASSERT_EQ(par.verified[third].size(), 3u);
  EXPECT_EQ(par.verified[third][0].md5->size(), 32u);
}

TEST(Ingest, ChecksBeforeAnythingIsWritten) {
  Card c;
  c.addClips(2, 1000);  // 1000 + 1001 bytes
  // One folder twice, however spelled, or one inside another: refused before any folder or row.
  const std::string d1 = canonicalPath(parentPath(c.root1)),
                    d2 = canonicalPath(parentPath(c.root2)), link = c.dir.path + "/link";
  ASSERT_EQ(::symlink(d1.c_str(), link.c_str()), 0);
  for (const auto& dests :
       std::vector<std::vector<std::string>>{{d1 + "/P", d1 + "/P/"},
                                             {d1 + "/P", link + "/P"},
                                             {d2 + "/P", d1 + "/P", d1 + "/P/sub"},
                                             {d1 + "/P/../P", d1 + "/P"}}) {
    auto s = stop(c, {.dests = dests, .copies = 2});
    EXPECT_TRUE(s && s->is<IngestStop::SameFolder>()) << dests.back();
    EXPECT_FALSE(exists(d1 + "/P") || exists(d2 + "/P")) << dests.back();
  }
  EXPECT_EQ(dbRows(c.store), 0);
  // Neighbours whose names share a prefix are two folders, taken; on one drive they hold one copy.
  mkdirs(d1 + "1");
  IngestResult ok = c.run({.dests = {d1 + "/P", d1 + "1/P"}, .copies = 2});
  EXPECT_EQ(std::tuple(ok.color, ok.verified.size()), std::tuple(CardColor::yellow, size_t{2}));

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

  // A file of another size in the way stops the run (the other problems are the Preflight test's).
  mkdirs(c.root2 + "/01_원본/A캠/기타");
  writeFile(c.at(c.root2, c.rows[1]), "short");
  EXPECT_EQ(
      stop(c, {.dests = {c.root1, c.root2}}),
      IngestStop::conflicts({"20250101_p: 이미 다른 파일이 있음: 01_원본/A캠/기타/C0002.MP4"}));
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
  ByteProgress last;
  IngestResult r = c.run({.hooks = beforeVerify([&](const Row&, auto& parts) {
                            if (calls++ == 0) flip(parts[0]);
                          }),
                          .bytes = highest(last)});
  EXPECT_EQ(calls, 2);
  // The second round's read-back is counted as the first was.
  EXPECT_EQ(std::tuple(last.copied, last.verified), std::tuple(last.total, last.total));
  EXPECT_EQ(r.color, CardColor::green);
  EXPECT_EQ(stateOf(c.store, c.rows[0], c.root1), "verified/2");
  EXPECT_EQ(hashFile(c.at(c.root1, c.rows[0])), hashFile(c.rows[0].src));

  IngestResult bad = c.run({.dests = {c.root2}, .hooks = beforeVerify([&](const Row&, auto& parts) {
                                                  for (auto& p : parts) flip(p);
                                                })});
  EXPECT_EQ(bad.color, CardColor::red);
  EXPECT_EQ(bad.failed, (std::vector<Failure>{{*c.rows[0].dest, c.root2, "검증 해시 불일치"}}));
  EXPECT_TRUE(bad.verified.empty());
  EXPECT_FALSE(exists(c.at(c.root2, c.rows[0])));
  EXPECT_EQ(partsUnder(c.root2), "");
  EXPECT_EQ(stateOf(c.store, c.rows[0], c.root2), "failed/2");
  EXPECT_FALSE(dbRow(c.store, c.rows[0], c.root2)->hash);

  // A part that cannot be read back (a folder in its place) is never taken as verified.
  EXPECT_TRUE(c.run({.dests = {c.root2 + "3"}, .hooks = beforeVerify([&](const Row&, auto& parts) {
                                                 for (auto& p : parts)
                                                   ::unlink(p.c_str()), mkdirs(p);
                                               })})
                  .verified.empty());
  // Paranoid: a card that gives other bytes the second time is never passed.
  auto changing = [&](const Row& r, auto&) { flip(r.src); };
  EXPECT_EQ(c.run({.dests = {c.root2 + "4"},
                   .options = {VerifyMode::paranoid},
                   .hooks = beforeVerify(changing)})
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
  EXPECT_EQ(resultLog({}, "C", "B", 0, 5).size(), 1u) << "nothing to add to the counts";
}

// An older database may hold several spellings of one destination folder: they are folded into
// one text, so that one folder is never counted twice.

// The copy table exactly as builds before this one created it, filled the way they filled it;
// a row {f, dest, n, state, hour} is file f's copy there with hash ffff00000000000n.
void oldDatabase(const std::string& path, const std::vector<std::vector<std::string>>& rows) {
  std::string sql =
      "PRAGMA journal_mode=WAL;"
      "CREATE TABLE copy (\n"
      "  key TEXT NOT NULL, dest TEXT NOT NULL, rel TEXT NOT NULL, size INTEGER NOT NULL,\n"
      "  xxh64 TEXT, state TEXT NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, at TEXT NOT NULL,\n"
      "  PRIMARY KEY (key, dest));"
      "ALTER TABLE copy ADD COLUMN md5 TEXT; ALTER TABLE copy ADD COLUMN view TEXT;";
  for (const auto& r : rows)
    sql += "INSERT INTO copy (key, dest, rel, size, xxh64, state, attempts, at) VALUES ('A캠|" +
           r[0] + "|5|1','" + r[1] + "','x/C0001.MP4',5,'" + std::string(4, r[0][0]) +
           "00000000000" + r[2] + "','" + r[3] + "',1,'2026-03-01T" + r[4] + ":00:00Z');";
  EXPECT_EQ(sh("sqlite3 '" + path + "' \"" + sql + "\""), 0);
}

TEST(DestPaths, OlderDatabaseCountsOneFolderOnce) {
  TempDir t;
  const std::string base = canonicalPath(t.path), d1 = base + "/d1", d2 = base + "/d2",
                    p1 = d1 + "/20260301_R";
  for (const auto& d : {p1, d2}) mkdirs(d);
  ASSERT_EQ(::symlink(d1.c_str(), (base + "/link").c_str()), 0);
  // Two spellings of d1's project folder per file, as `--dest d1/` then `--dest d1` left them.
  oldDatabase(base + "/old.sqlite",
              {{"a", d1 + "//20260301_R", "1", "verified", "09"},
               {"a", p1, "2", "verified", "10"},
               // The newer of the two is failed: the folder holds no verified copy of b.
               {"b", p1 + "/", "1", "verified", "09"},
               {"b", base + "/link/20260301_R/.", "2", "failed", "11"},
               // Only an untidy spelling: renamed, kept.
               {"c", d1 + "/./20260301_R", "1", "verified", "09"},
               {"c", d2 + "/20260301_R", "2", "verified", "09"}});
  for (const char* opened : {"first", "again: nothing left to fold, nothing lost"}) {
    Store s(base + "/old.sqlite");
    s.setCopyJudge([](const RecordedCopy&) { return CopyPlace::good; });
    EXPECT_EQ(s.verifiedCount("A캠|a|5|1"), 1) << opened;
    EXPECT_EQ(s.verifiedHash("A캠|a|5|1", p1), "aaaa000000000002")
        << "the newest row of the pair is kept";
    EXPECT_EQ(s.verifiedCount("A캠|b|5|1"), 0) << opened;
    EXPECT_EQ(s.verifiedCount("A캠|c|5|1"), 2) << opened;
    EXPECT_EQ(s.verifiedHash("A캠|c|5|1", p1), "cccc000000000001");
    EXPECT_EQ(s.verifiedRoots(), (std::vector<std::string>{p1, d2 + "/20260301_R"}));
    EXPECT_EQ(dbRows(s), 4) << opened;
  }
}

TEST(IngestPipeline, CardFileChangingWhileCopiedIsNeverRecordedAsItsOldSelf) {
  const char* kChanged = "복사하는 동안 카드 파일이 바뀜(크기·시간) — 카드를 다시 읽어야 함";
  auto both = [](Card& p, const BytesFn& bytes = {}) {
    return p.run({.dests = {p.root1, p.root2}, .copies = 2, .bytes = bytes});
  };
  for (size_t size : {size_t{6000}, size_t{(20u << 20) + 9}}) {  // the small path and the large one
    SCOPED_TRACE(size);
    Card p;
    p.add("C0001.MP4", size);
    p.add("C0002.MP4", 2000);
    const Row& grows = p.rows[0];
    bool appended = false;
    // The card file grows once, while its first round is being read.
    IngestResult r = both(p, [&](const ByteProgress& b) {
      if (!appended && b.copied > 0) {
        appended = true;
        sh("printf more >> '" + grows.src + "'");
      }
    });
    EXPECT_TRUE(appended);
    EXPECT_EQ(std::tuple(r.color, r.copied), std::tuple(CardColor::red, 1));
    EXPECT_EQ(r.failed, (std::vector<Failure>{{*grows.dest, p.root1, kChanged},
                                              {*grows.dest, p.root2, kChanged}}));
    for (const auto& root : {p.root1, p.root2}) {
      EXPECT_FALSE(exists(root + "/" + *grows.dest));
      EXPECT_EQ(partsUnder(root), "");
      EXPECT_EQ(stateOf(p.store, grows, root), "failed/3");  // retried like a read error
    }
  }
  // Changed after it was planned: not copied under the planned size and time; planned again,
  // the file as it is now is copied.
  Card p;
  p.add("C0001.MP4", 6000);
  writeFile(p.rows[0].src, std::string(6000, 'x'));  // the same size, another time:
  p.rows[0].mtimeNs -= 1000000000;                   // a coarse clock may not have moved
  IngestResult r = both(p);
  EXPECT_EQ(r.color, CardColor::red);
  ASSERT_EQ(r.failed.size(), 2u);
  EXPECT_EQ(r.failed[0].why, kChanged);
  EXPECT_FALSE(exists(p.root1 + "/" + *p.rows[0].dest));
  p.rows[0] = cardRow(p.card, p.rows[0].rel, 6000, 0);
  EXPECT_EQ(both(p).color, CardColor::green);
  EXPECT_EQ(hashFile(p.root2 + "/" + *p.rows[0].dest), hashFile(p.rows[0].src));
}

// Ingest runs against real mounts: a card pulled, a destination read-only, pulled or full.

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
  IngestResult r = run.run({.progress = [&](int n, int, const std::string& f, int64_t, int64_t) {
    if (n == 2 && !f.empty()) card.pull();
  }});
  EXPECT_EQ(r.stopped, IngestStop::cardRemoved());
  EXPECT_EQ(std::tuple(r.color, r.copied, r.underCopied), std::tuple(CardColor::red, 1, 3));
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

// A destination read-only from before the run is refused before any copy; one pulled or full
// during the run fails its files there, and only there.
TEST(IngestFault, DestinationReadOnlyPulledOrFull) {
  LoopMount was(8), ro(8, "ext4", "ro"), pulled(64), full(8);
  for (const LoopMount* m : {&was, &ro, &pulled, &full}) SKIP_UNLESS_MOUNTED(*m);
  IngestRig run;
  run.addClips(4, 3u << 20);
  const auto& rows = run.rows;
  const std::string root1 = run.root1;
  // `was` holds the project folder from an earlier card and comes back read-only; `ro` is
  // read-only from the start, so its project folder does not exist yet.
  mkdirs(was.path() + "/20250101_p/01_원본");
  was.pull();
  ASSERT_TRUE(was.remount("ro"));
  for (const std::string& drive : {was.path(), ro.path()}) {
    EXPECT_EQ(stop(run, {.dests = {root1, drive + "/20250101_p"}}),
              IngestStop::unwritable(drive, EROFS));
    // Not a byte, not a folder, not a lock on the good destination; no row in the database.
    EXPECT_FALSE(exists(root1));
    EXPECT_EQ(dbRows(run.store), 0);
  }

  // Pulled between a clip's write and its read-back: nothing is written into the bare mount point
  // folder after the pull.
  const std::string root2 = pulled.path() + "/20250101_p";
  IngestResult r =
      run.run({.dests = {root1, root2}, .hooks = beforeVerify([&](const Row& row, auto&) {
                                          if (row.rel == rows[1].rel) pulled.pull();
                                        })});
  EXPECT_EQ(r.lostDests, std::vector<std::string>{root2});
  EXPECT_EQ(r.failed, (std::vector<Failure>{{*rows[1].dest, root2, "목적지 분리됨"}}));
  EXPECT_EQ(std::tuple(r.color, r.copied, r.verified[root1].size(), r.verified[root2].size()),
            std::tuple(CardColor::red, 4, 4u, 1u));
  EXPECT_EQ(stateOf(run.store, rows[1], root2) + stateOf(run.store, rows[3], root2), "nonenone");
  expectNoFalseCopies(r, root1, rows);
  EXPECT_FALSE(exists(root2));

  // Full in the middle of the run.
  const std::string root = full.path() + "/20250101_p";
  r = run.run({.dests = {root}});
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

}  // namespace
}  // namespace tolverdine
