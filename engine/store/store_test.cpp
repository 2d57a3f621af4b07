#include "engine/store/store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/library/library.h"
#include "engine/store/record_group.h"
#include "engine/store/sessions.h"
#include "engine/store/store_open.h"
#include "engine/store/verified_counts.h"
#include "testing/store_access.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

using Strings = std::vector<std::string>;

Strings column(Store& s, const std::string& sql, const std::vector<SqlValue>& args = {}) {
  Strings out;
  rawQuery(s, sql, args, [&](const SqlRow& r) { out.push_back(r.textOr(0, "NULL")); });
  return out;
}

std::string one(Store& s, const std::string& sql, const std::vector<SqlValue>& args = {}) {
  auto c = column(s, sql, args);
  return c.empty() ? "<none>" : c[0];
}

const char* kTables = "SELECT name FROM sqlite_master WHERE type IN ('table', 'trigger', 'view')";

// A new file gets WAL and the copy table alone (the search index lives in a file of its own);
// opening it again ignores the failing ALTERs; a failed open leaves the file alone.
TEST(Store, OpenMakesTheCopyTableAndFailsWithoutHarm) {
  TempDir t;
  std::string path = t.path + "/a/b/ingest.sqlite";
  {
    Store s(path);
    EXPECT_EQ(one(s, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(column(s, kTables), Strings{"copy"});
    // Unsigned and bool arguments bind as integers.
    EXPECT_EQ(one(s, "SELECT typeof(?1)||typeof(?2)||typeof(?3)||' '||?1||' '||?2||' '||?3",
                  {size_t{5'000'000'123}, uint64_t{7'000'000'001}, true}),
              "integerintegerinteger 5000000123 7000000001 1");
    s.record("A|x|1|2", "/d", "x", 1, "h", CopyState::verified, 1);
  }
  Store again(path);
  trustEveryRow(again);
  testing::internal::CaptureStderr();
  EXPECT_EQ(again.verifiedCount("A|x|1|2"), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  const std::string garbage(4096, '\x5a');
  writeFile(t.path + "/garbage.sqlite", garbage);
  EXPECT_THROW(Store(t.path + "/garbage.sqlite"), StoreError);
  EXPECT_EQ(slurp(t.path + "/garbage.sqlite"), garbage);
}

// An upsert sums attempts, keeps md5 and view unless given, and stamps a new time; the states
// keep the texts earlier builds wrote, and a text no build wrote never counts as a copy.
TEST(Store, RecordUpsertAndStateTexts) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  const std::string k = "A|c.mov|10|5";
  s.record(k, "/d", "old/c.mov", 10, "aaaa", CopyState::failed, 2, "md5one", "view/c.mov");
  rawExec(s, "UPDATE copy SET at='2000-01-01T00:00:00Z'");
  s.record(k, "/d", "new/c.mov", 11, "bbbb", CopyState::verified, 3);
  EXPECT_EQ(one(s,
                "SELECT count(*)||' '||rel||' '||size||' '||xxh64||' '||state||' '||attempts"
                "||' '||md5||' '||view||' '||(at<>'2000-01-01T00:00:00Z') FROM copy"),
            "1 new/c.mov 11 bbbb verified 5 md5one view/c.mov 1");
  s.record(k, "/d", "new/c.mov", 11, std::nullopt, CopyState::verified, 0, "md5two", "view2");
  EXPECT_EQ(one(s, "SELECT md5 || ' ' || view || ' ' || attempts FROM copy"), "md5two view2 5");
  EXPECT_EQ(s.verifiedHash(k, "/d"), std::nullopt) << "a NULL hash is no hash";

  for (CopyState st : {CopyState::copied, CopyState::verified, CopyState::failed}) {
    const std::string key = std::string("A|") + copyStateText(st) + "|1|1";
    s.record(key, "/s", copyStateText(st), 1, "h", st, 1);
    EXPECT_EQ(one(s, "SELECT state FROM copy WHERE key=?", {key}), copyStateText(st));
    EXPECT_EQ(s.copyNamed("/s", copyStateText(st))->state, st);
  }
  rawExec(s,
          "INSERT INTO copy (key, dest, rel, size, xxh64, state, attempts, at) "
          "VALUES ('A|odd|1|1', '/d', 'odd', 1, 'h', 'Verified', 1, '2020-01-01T00:00:00Z')");
  trustEveryRow(s);
  EXPECT_EQ(s.copyNamed("/d", "odd")->state, CopyState::failed);
  EXPECT_EQ(s.verifiedCount("A|odd|1|1"), 0);
  EXPECT_EQ(s.anyVerifiedHash("A|odd|1|1"), std::nullopt);
}

// Only verified rows count, are listed or vouch for a hash; the other reads the library, the
// layout, the hash lists and the twin check use, and the moves of a copy.
TEST(Store, OnlyVerifiedRowsCountAndNamedReadsAndMoves) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  trustEveryRow(s);
  const std::string k = "A|CLIP/C1.MP4|10|5", other = "A|CLIP/C1.MP4|100|5";
  s.record(k, "/d1", "raw/C1.MP4", 10, "h1", CopyState::verified, 1, "m1", "cls/풀샷/C1.MP4");
  s.record(k, "/d2", "raw/C1.MP4", 10, "h2", CopyState::verified, 1);
  s.record(k, "/d3", "c3.MP4", 10, "h3", CopyState::copied, 1);
  s.record(other, "/d1", "raw/C1b.MP4", 100, "h9", CopyState::copied, 1);
  s.record(other, "/d2", "raw/C1b.MP4", 100, "h9", CopyState::failed, 1);
  EXPECT_EQ(s.verifiedCount(k), 2);
  EXPECT_EQ(s.verifiedCount(other), 0);
  EXPECT_EQ(s.verifiedRoots(), (Strings{"/d1", "/d2"}));

  s.record(k, "/d2", "raw/C1.MP4", 10, "h2", CopyState::failed, 1);  // a later failure un-verifies
  EXPECT_EQ(s.verifiedCount(k), 1);
  EXPECT_EQ(s.verifiedRoots(), Strings{"/d1"});
  for (const char* dest : {"/d2", "/d3"})  // nothing vouched for, no copy to skip on a re-run
    EXPECT_TRUE(!s.verifiedHash(k, dest) && !s.verifiedRow(k, dest) && !s.verifiedCopy(k, dest) &&
                s.verifiedEntries(dest).empty())
        << dest;
  auto listed = s.verifiedCopy(k, "/d1");
  ASSERT_TRUE(listed && s.verifiedRow(k, "/d1"));
  EXPECT_EQ(*s.verifiedHash(k, "/d1") + s.verifiedRow(k, "/d1")->rel + *listed->md5,
            "h1raw/C1.MP4m1");
  EXPECT_EQ(s.anyVerifiedHash(k), "h1");
  EXPECT_EQ(s.anyVerifiedHash(other), std::nullopt);
  EXPECT_EQ(s.destRel(k, "/d3"), "c3.MP4");
  s.record("A|b.mov|1|1", "/d1", "b.mov", 1, "hb", CopyState::verified, 1);
  auto e = s.verifiedEntries("/d1");
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].rel + " " + e[1].key + " " + *e[1].hash + " " + *e[1].view,
            "b.mov " + k + " h1 cls/풀샷/C1.MP4");
  EXPECT_EQ(e[0].view, std::nullopt);

  // A clip is found by either path; the rows of one folder come by rel, any state.
  EXPECT_EQ(s.copyNamed("/d1", "raw/C1.MP4")->key, k);
  EXPECT_EQ(s.copyNamed("/d1", "cls/풀샷/C1.MP4")->key, k);
  EXPECT_EQ(s.copyNamed("/d2", "cls/풀샷/C1.MP4"), std::nullopt);
  auto on1 = s.copiesOn("/d1");
  ASSERT_EQ(on1.size(), 3u);
  EXPECT_EQ(on1[2].state, CopyState::copied);
  EXPECT_EQ(s.entriesOn("/d2").size(), 2u) << "a failed row still holds its place";
  // A key prefix ends at its "|": size 10 is not size 100.
  auto byPrefix = s.copiesByKeyPrefix("/d1", "A|CLIP/C1.MP4|10|");
  ASSERT_EQ(byPrefix.size(), 1u);
  EXPECT_EQ(byPrefix[0].view, "cls/풀샷/C1.MP4");

  // A move changes the view of a mirrored clip, its copy stays (the plain move: the reclassify
  // test), and the search file learns of it.
  ASSERT_TRUE(s.moveCopy(k, "/d1", "cls/인서트/C1.MP4", /*hasView=*/true));
  auto places = s.copyPlaces(k, "/d1");
  EXPECT_EQ(places.rel.value_or("-") + " " + places.view.value_or("-"),
            "raw/C1.MP4 cls/인서트/C1.MP4");
  EXPECT_EQ(librarySearch(s, "인서트").size(), 1u);
}

// Transactions of the store's own, and compiled statements kept between calls: a nested call of
// the same text answers from the rows as they are.
TEST(Store, TransactionsAndKeptStatements) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  ASSERT_TRUE(s.beginImmediate());
  EXPECT_FALSE(s.begin()) << "no transaction inside another";
  s.record("A|x|1|1", "/d1", "x", 1, "h1", CopyState::verified, 1);
  s.rollback();
  EXPECT_FALSE(s.inTransaction());
  EXPECT_EQ(s.destRel("A|x|1|1", "/d1"), std::nullopt);
  ASSERT_TRUE(s.begin());
  s.record("A|x|1|1", "/d1", "x", 1, "h1", CopyState::verified, 1);
  s.record("A|y|1|1", "/d1", "y", 1, "h2", CopyState::verified, 1);
  EXPECT_TRUE(s.commit());
  EXPECT_FALSE(s.commit()) << "nothing to commit";

  const std::string sql = "SELECT rel FROM copy WHERE dest=? ORDER BY rel";
  Strings pairs;
  rawQuery(s, sql, {std::string("/d1")}, [&](const SqlRow& outer) {
    for (const auto& inner : column(s, sql, {std::string("/d1")}))
      pairs.push_back(outer.textOr(0) + inner);
  });
  EXPECT_EQ(pairs, (Strings{"xx", "xy", "yx", "yy"}));
  EXPECT_EQ(s.verifiedHash("A|y|1|1", "/d1"), "h2");
  EXPECT_FALSE(s.verifiedHash("A|y|1|1", "/d2"));  // bindings of the call before do not linger
}

TEST(Store, FailingDatabaseReportsOneLineAndReadsNothing) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  s.record("A|x|1|1", "/d", "x", 1, "h", CopyState::verified, 1);
  rawExec(s, "DROP TABLE copy");
  testing::internal::CaptureStderr();
  s.record("A|x|1|1", "/d", "x", 1, "h", CopyState::verified, 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "TOLVERDINE 상태 기록 실패: no such table: copy\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(s.verifiedCount("A|x|1|1") + s.verifiedCount("A|y|1|1"), 0);
  // Each dropped error is told, once: not once per file of a card.
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "TOLVERDINE 상태 DB 오류 (verifiedTally): no such table: copy\n");
  for (bool nothing :
       {!s.verifiedHash("A|x|1|1", "/d"), !s.destRel("A|x|1|1", "/d"), s.verifiedRoots().empty(),
        s.verifiedEntries("/d").empty(), !s.camForFile({"x", 1, 1}), librarySearch(s, "x").empty(),
        s.copiesOn("/d").empty(), s.entriesOn("/d").empty(), !s.verifiedCopy("A|x|1|1", "/d"),
        !s.anyVerifiedHash("A|x|1|1"), !s.moveCopy("A|x|1|1", "/d", "y", false)})
    EXPECT_TRUE(nothing);
  EXPECT_THROW(s.copyNamed("/d", "x"), StoreError)
      << "the command tells a broken database from a missing clip";
  EXPECT_THROW(rawQuery(s, "SELEC nonsense", {}, {}), StoreError);
}

TEST(Store, TwoConnectionsWritingAtOnceBothSucceed) {
  TempDir t;
  std::string path = t.path + "/db.sqlite";
  { Store init(path); }
  testing::internal::CaptureStderr();
  auto writer = [&](const std::string& cam) {
    Store s(path);
    for (int i = 0; i < 500; ++i)
      s.record(cam + "|f" + std::to_string(i) + "|1|1", "/d", "f" + std::to_string(i), 1, "h",
               CopyState::verified, 1);
  };
  std::thread a(writer, "A"), b(writer, "B");
  a.join();
  b.join();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(err.empty()) << err.substr(0, 200);
  Store s(path);
  EXPECT_EQ(one(s, "SELECT count(*) FROM copy WHERE state='verified'"), "1000");
}

// A long card's verdict counts are made on two connections side by side: each key's count is
// the one the key gets alone, on whichever half it falls, and the card's drive counts on neither;
// no connection waits on the other's write of the drives learnt.
TEST(Store, TwoConnectionsCountALongCardAsOneDoes) {
  TempDir t;
  const std::string a = t.path + "/a", b = t.path + "/b";
  mkdirs(a);
  mkdirs(b);
  Store s(t.path + "/db.sqlite");
  std::vector<std::string> keys;
  ASSERT_TRUE(s.begin());
  for (int i = 0; i < 2100; ++i) {  // enough keys to be split
    const std::string rel = "f" + std::to_string(i);
    const std::string body(static_cast<size_t>(i % 5), 'x');
    keys.push_back("A|" + rel + "|" + std::to_string(body.size()) + "|0");
    for (const auto& root : {a, b}) {
      if (root == b && i % 3 != 0) continue;
      writeFile(root + "/" + rel, i % 11 == 0 && root == a ? body + "changed" : body);
      s.record(keys.back(), root, rel, static_cast<int64_t>(body.size()), "h", CopyState::verified,
               1);
    }
    if (i % 7 == 0) ::unlink((b + "/" + rel).c_str());
  }
  ASSERT_TRUE(s.commit());
  testing::internal::CaptureStderr();
  const std::vector<int> counts = verifiedCounts(s, keys, std::nullopt);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(err.empty()) << err;
  ASSERT_EQ(counts.size(), keys.size());
  // Both folders lie on one drive: a copy in either is that drive's one copy.
  for (size_t i = 0; i < keys.size(); ++i)
    ASSERT_EQ(counts[i], i % 11 != 0 || (i % 3 == 0 && i % 7 != 0)) << keys[i];
  struct stat st {};
  ASSERT_EQ(::stat(a.c_str(), &st), 0);
  const std::vector<int> off = verifiedCounts(s, keys, s.drives().idOf(st.st_dev));
  EXPECT_EQ(std::count(off.begin(), off.end(), 0), static_cast<long>(keys.size()));
}

// A card keeps its first volume (the card history is the history command's test); a file is
// found by its whole path, case, size and time.
TEST(Store, CardsAndFiles) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  s.recordCard("fp1", "A캠", {{"a.mov", 100, 1}}, std::nullopt);
  s.recordCard("fp1", "B캠", {{"z", 1, 1}}, "UUID-1");
  s.recordCard("fp1", "C캠", {}, "UUID-2");
  auto c = s.camForCard("fp1");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->cam + " " + c->volume.value_or("-"), "C캠 UUID-1");
  EXPECT_EQ(s.camForCard("other"), std::nullopt);

  s.record("A캠|DCIM/클립.MOV|10|5", "/d", "x", 10, "h", CopyState::failed, 1);
  s.record("B|sub/C.MOV|10|5", "/d", "y", 10, "h", CopyState::verified, 1);
  const std::vector<std::tuple<std::string, int64_t, int64_t, std::string>> cams = {
      {"DCIM/클립.MOV", 10, 5, "A캠"}, {"dcim/클립.mov", 10, 5, ""}, {"DCIM/클립.MOV", 10, 6, ""},
      {"DCIM/클립.MOV", 110, 5, ""},   {"C.MOV", 10, 5, ""},         {"sub/C.MOV", 10, 5, "B"}};
  for (auto [rel, size, mtime, cam] : cams)
    EXPECT_EQ(s.camForFile({rel, size, mtime}).value_or(""), cam) << rel;
}

// Every failure comes back as a message, never as an exception; looking never creates.
TEST(StoreOpen, FailuresAreMessagesAndLookingCreatesNothing) {
  TempDir t;
  const std::string path = t.path + "/home/db/ingest.sqlite";
  OpenedStore none = openStoreAt(path, IfMissing::leave);
  EXPECT_FALSE(none);
  EXPECT_EQ(none.error, "");
  EXPECT_FALSE(exists(t.path + "/home")) << "a command that only looks made the folder";

  ASSERT_TRUE(openStoreAt(path)) << "made when asked to";
  EXPECT_TRUE(openStoreAt(path, IfMissing::leave));

  writeFile(t.path + "/plain", "x");
  OpenedStore underFile = openStoreAt(t.path + "/plain/sub/ingest.sqlite");
  EXPECT_FALSE(underFile);
  EXPECT_NE(underFile.error.find(t.path + "/plain"), std::string::npos) << underFile.error;
  writeFile(t.path + "/notdb.sqlite", std::string(4096, '\x5a'));
  EXPECT_EQ(openStoreAt(t.path + "/notdb.sqlite").error, "file is not a database");
}

TEST(RecordGroup, RowsBecomeDurableByCountByAgeAndAtTheEnd) {
  TempDir t;
  const std::string db = t.path + "/db.sqlite";
  Store writer(db), reader(db);
  auto rowsSeenBy = [](Store& s) { return std::stoi(one(s, "SELECT count(*) FROM copy")); };
  auto rec = [](RecordGroup& g, int i) {
    g.record("A|f" + std::to_string(i) + "|1|1", "/d", "f", 1, "00000000000000aa",
             CopyState::verified, 1);
  };
  {
    RecordGroup g(writer, 4, std::chrono::hours(1));
    for (int i = 0; i < 3; ++i) rec(g, i);
    EXPECT_EQ(rowsSeenBy(reader), 0);  // the group is still open
    EXPECT_EQ(rowsSeenBy(writer), 3);  // its own connection reads its rows
    rec(g, 3);
    EXPECT_EQ(rowsSeenBy(reader), 4);  // the fourth row closed the group
    rec(g, 4);
    EXPECT_EQ(rowsSeenBy(reader), 4);
  }
  EXPECT_EQ(rowsSeenBy(reader), 5);  // the end commits

  RecordGroup aged(writer, 64, std::chrono::milliseconds(50));
  rec(aged, 5);
  aged.commitIfDue();
  EXPECT_EQ(rowsSeenBy(reader), 5);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  aged.commitIfDue();
  EXPECT_EQ(rowsSeenBy(reader), 6);
  // A second writer is not shut out for longer than a group lasts.
  rec(aged, 6);
  aged.commit();
  reader.record("B|x|1|1", "/d", "x", 1, std::nullopt, CopyState::failed, 1);
  EXPECT_EQ(rowsSeenBy(writer), 8);
}

// A clip at a wall-clock time in Seoul on 2025-03-15 (UTC+9, no daylight saving); hours past 24
// run into the next day.
Row clip(Kind k, int h, int mi, double dur, bool span = false) {
  Row r;
  r.kind = k;
  r.meta.t = 1741964400.0 + h * 3600 + mi * 60;
  r.meta.dur = dur;
  r.span = span;
  return r;
}

// The labels sessions() gives the rows.
Strings labels(std::vector<Row> rows) {
  sessions(rows, sessionGap);
  Strings out;
  for (const auto& r : rows) out.push_back(r.session.value_or("-"));
  return out;
}

TEST(Sessions, GapsKindsSpansMidnightAndShootDates) {
  ScopedEnv zone{"TZ", "Asia/Seoul"};
  const Kind v = Kind::video;
  // 25 minutes after a clip's end: the same session, to 19:20; exactly 30 minutes: a new one.
  EXPECT_EQ(labels({clip(v, 18, 30, 600), clip(v, 19, 5, 900), clip(v, 19, 50, 60)}),
            (Strings{"1_1830-1920", "1_1830-1920", "2_1950-1951"}));
  // A long clip, a short one inside it, then one 20 minutes after the long one ends; given in
  // reverse card order, numbered by time: the running end never shrinks.
  EXPECT_EQ(
      labels({clip(v, 21, 20, 60), clip(v, 20, 10, 60), clip(v, 20, 0, 3600), clip(v, 17, 0, 60)}),
      (Strings{"2_2000-2121", "2_2000-2121", "2_2000-2121", "1_1700-1701"}));
  // Kinds are numbered apart. The split recording: 23:30 + 30 min, then 20 and 10 more minutes
  // (audio in between in the card does not break the chain of videos).
  EXPECT_EQ(labels({clip(Kind::photo, 18, 35, 0), clip(v, 23, 30, 1800), clip(v, 24, 0, 1200, true),
                    clip(Kind::audio, 23, 30, 100), clip(v, 24, 20, 600, true),
                    clip(Kind::etc, 23, 30, 0), clip(v, 18, 30, 60)}),
            (Strings{"1_1835-1835", "2_2330-0030", "2_2330-0030", "-", "2_2330-0030", "-",
                     "1_1830-1831"}));
  // A continuation with nothing before it joins no session and keeps its label.
  std::vector<Row> orphan = {clip(v, 10, 0, 60, true)};
  orphan[0].session = "old";
  EXPECT_EQ(labels(orphan), Strings{"old"});

  // Shoot dates begin at four in the morning; times taken from file dates decide nothing for
  // video, but photos count with theirs.
  EXPECT_EQ(shootDates({clip(v, 4, 0, 10), clip(v, 2, 30, 10), clip(Kind::audio, -24 * 70, 0, 10)},
                       dayBoundaryHours),
            (Strings{"20250314", "20250315"}));
  std::vector<Row> mtimes = {clip(v, 12, 0, 10), Row{}};
  mtimes[0].tFromMtime = true;
  mtimes[1].kind = Kind::photo;
  EXPECT_TRUE(shootDates(mtimes, dayBoundaryHours).empty()) << "a photo without any time";
  mtimes.push_back(clip(Kind::photo, -24 * 14 + 12, 0, 0));
  EXPECT_EQ(shootDates(mtimes, dayBoundaryHours), (Strings{"20250301"}));
}

}  // namespace
}  // namespace tolverdine
