#include "engine/store/store.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <sqlite3.h>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/library/library.h"
#include "testing/store_access.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

std::vector<std::string> column(Store& s, const std::string& sql,
                                const std::vector<SqlValue>& args = {}) {
  std::vector<std::string> out;
  rawQuery(s, sql, args, [&](const SqlRow& r) { out.push_back(r.textOr(0, "NULL")); });
  return out;
}

std::string one(Store& s, const std::string& sql, const std::vector<SqlValue>& args = {}) {
  auto c = column(s, sql, args);
  return c.empty() ? "<none>" : c[0];
}

TEST(Store, OpenCreatesFolderWalAndOnlyTheCopyTable) {
  TempDir t;
  std::string path = t.path + "/a/b/ingest.sqlite";
  {
    Store s(path);
    EXPECT_TRUE(exists(path));
    EXPECT_EQ(one(s, "PRAGMA journal_mode"), "wal");
    // The search index lives in a file of its own; the database holds the copy table alone.
    EXPECT_EQ(
        column(s, "SELECT name FROM sqlite_master WHERE type IN ('table', 'trigger', 'view')"),
        std::vector<std::string>{"copy"});
    EXPECT_EQ(column(s, "SELECT name FROM pragma_table_info('copy')"),
              (std::vector<std::string>{"key", "dest", "rel", "size", "xxh64", "state", "attempts",
                                        "at", "md5", "view", "drive", "ino"}));
    s.record("A|x|1|2", "/d", "x", 1, "h", CopyState::verified, 1);
  }
  Store again(path);  // the ALTERs fail now and must be ignored
  trustEveryRow(again);
  EXPECT_EQ(again.verifiedCount("A|x|1|2"), 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(again.verifiedCount("A|x|1|2"), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// A failed open leaves the file alone; a folder is no database (the messages of the other
// failures are the opener's test).
TEST(Store, OpenFailures) {
  TempDir t;
  std::string garbage(4096, '\0');
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 131 + 7) & 0xff);
  writeFile(t.path + "/garbage.sqlite", garbage);
  EXPECT_THROW(Store(t.path + "/garbage.sqlite"), StoreError);
  EXPECT_EQ(slurp(t.path + "/garbage.sqlite"), garbage);
  std::filesystem::create_directory(t.path + "/dir.sqlite");
  try {
    Store s(t.path + "/dir.sqlite");
    FAIL() << "a folder must not open as a database";
  } catch (const StoreError& e) {
    EXPECT_EQ(e.message, "DB 열기 실패: " + t.path + "/dir.sqlite");
  }
}

TEST(Store, UnsignedAndBoolArgumentsBindAsIntegers) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  size_t big = 5'000'000'123;
  uint64_t u = 7'000'000'001;
  EXPECT_EQ(one(s, "SELECT typeof(?1)||typeof(?2)||typeof(?3)||' '||?1||' '||?2||' '||?3",
                {big, u, true}),
            "integerintegerinteger 5000000123 7000000001 1");
}

TEST(Store, RecordUpsertSumsAttemptsAndKeepsMd5AndView) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  s.record("A|c.mov|10|5", "/d", "old/c.mov", 10, "aaaa", CopyState::failed, 2, "md5one",
           "view/c.mov");
  rawExec(s, "UPDATE copy SET at='2000-01-01T00:00:00Z'");
  s.record("A|c.mov|10|5", "/d", "new/c.mov", 11, "bbbb", CopyState::verified, 3);
  EXPECT_EQ(one(s,
                "SELECT count(*)||' '||rel||' '||size||' '||xxh64||' '||state||' '||attempts"
                "||' '||md5||' '||view FROM copy"),
            "1 new/c.mov 11 bbbb verified 5 md5one view/c.mov");
  const std::string at = one(s, "SELECT at FROM copy");
  EXPECT_NE(at, "2000-01-01T00:00:00Z");
  EXPECT_EQ(at.size(), 20u);
  EXPECT_EQ(at.back(), 'Z');

  s.record("A|c.mov|10|5", "/d", "new/c.mov", 11, std::nullopt, CopyState::verified, 0, "md5two",
           "view2");
  EXPECT_EQ(one(s, "SELECT md5 || ' ' || view || ' ' || attempts FROM copy"), "md5two view2 5");
  EXPECT_EQ(s.verifiedHash("A|c.mov|10|5", "/d"), std::nullopt) << "a NULL hash is no hash";
}

TEST(Store, OnlyVerifiedRowsCount) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  trustEveryRow(s);
  const std::string k = "A|c.mov|10|5";
  s.record(k, "/d1", "c.mov", 10, "h1", CopyState::verified, 1);
  s.record(k, "/d2", "c.mov", 10, "h2", CopyState::verified, 1, std::nullopt, "v/c.mov");
  s.record(k, "/d3", "c3.mov", 10, "h3", CopyState::copied, 1);
  EXPECT_EQ(s.verifiedCount(k), 2);
  EXPECT_EQ(s.verifiedRoots(), (std::vector<std::string>{"/d1", "/d2"}));

  s.record(k, "/d1", "c.mov", 10, "h1", CopyState::failed,
           1);  // a later failure un-verifies the copy
  EXPECT_EQ(s.verifiedCount(k), 1);
  EXPECT_EQ(s.verifiedHash(k, "/d1"), std::nullopt);
  EXPECT_EQ(s.verifiedHash(k, "/d2"), "h2");
  EXPECT_EQ(s.verifiedHash(k, "/d3"), std::nullopt);
  EXPECT_FALSE(s.verifiedRow(k, "/d3")) << "a copied row is no copy to skip on a re-run";
  EXPECT_EQ(s.verifiedRow(k, "/d2")->rel, "c.mov");
  EXPECT_EQ(s.verifiedRoots(), std::vector<std::string>{"/d2"});
  EXPECT_TRUE(s.verifiedEntries("/d1").empty());
  EXPECT_TRUE(s.verifiedEntries("/d3").empty());
  EXPECT_EQ(s.destRel(k, "/d3"), "c3.mov");
  EXPECT_EQ(s.destRel(k, "/d1"), "c.mov");
  EXPECT_EQ(s.destRel(k, "/nowhere"), std::nullopt);
  EXPECT_EQ(s.search("c3", 10).size(), 1u);

  s.record("A|b.mov|1|1", "/d2", "b.mov", 1, "hb", CopyState::verified, 1);
  auto e = s.verifiedEntries("/d2");
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].rel, "b.mov");
  EXPECT_EQ(e[0].view, std::nullopt);
  EXPECT_EQ(e[1].key, k);
  EXPECT_EQ(e[1].hash, "h2");
  EXPECT_EQ(e[1].view, "v/c.mov");

  s.record("B|only.mov|1|1", "/d1", "only.mov", 1, "h", CopyState::copied, 1);
  s.record("B|only.mov|1|1", "/d2", "only.mov", 1, "h", CopyState::failed, 1);
  EXPECT_EQ(s.verifiedCount("B|only.mov|1|1"), 0);
}

// The states are written as the texts earlier builds wrote and read back as themselves; a text
// no build wrote never counts as a copy.
TEST(Store, CopyStatesKeepTheirTextsInTheFile) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  for (CopyState st : {CopyState::copied, CopyState::verified, CopyState::failed}) {
    const std::string key = std::string("A|") + copyStateText(st) + "|1|1";
    s.record(key, "/d", copyStateText(st), 1, "h", st, 1);
    EXPECT_EQ(one(s, "SELECT state FROM copy WHERE key=?", {key}), copyStateText(st));
    auto hit = s.copyNamed("/d", copyStateText(st));
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->state, st);
  }
  EXPECT_EQ(column(s, "SELECT state FROM copy ORDER BY state"),
            (std::vector<std::string>{"copied", "failed", "verified"}));
  rawExec(s,
          "INSERT INTO copy (key, dest, rel, size, xxh64, state, attempts, at) "
          "VALUES ('A|odd|1|1', '/d', 'odd', 1, 'h', 'Verified', 1, '2020-01-01T00:00:00Z')");
  EXPECT_EQ(s.copyNamed("/d", "odd")->state, CopyState::failed);
  EXPECT_EQ(s.verifiedCount("A|odd|1|1"), 0);
  EXPECT_EQ(s.anyVerifiedHash("A|odd|1|1"), std::nullopt);
}

// The operations the library, the layout, the hash lists and the twin check read and move rows by.
TEST(Store, NamedReadsAndMovesOfCopies) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  const std::string clip = "A|CLIP/C1.MP4|10|5", other = "A|CLIP/C1.MP4|100|5";
  s.record(clip, "/d1", "raw/C1.MP4", 10, "h1", CopyState::verified, 1, "m1", "cls/풀샷/C1.MP4");
  s.record(clip, "/d2", "raw/C1.MP4", 10, "h2", CopyState::failed, 1);
  s.record(other, "/d1", "raw/C1b.MP4", 100, "h9", CopyState::copied, 1);

  // The library finds a clip by either path; the rows of one folder come by rel, any state.
  EXPECT_EQ(s.copyNamed("/d1", "raw/C1.MP4")->key, clip);
  EXPECT_EQ(s.copyNamed("/d1", "cls/풀샷/C1.MP4")->key, clip);
  EXPECT_EQ(s.copyNamed("/d2", "cls/풀샷/C1.MP4"), std::nullopt);
  auto on1 = s.copiesOn("/d1");
  ASSERT_EQ(on1.size(), 2u);
  EXPECT_EQ(on1[0].rel, "raw/C1.MP4");
  EXPECT_EQ(on1[1].state, CopyState::copied);
  EXPECT_EQ(s.entriesOn("/d2").size(), 1u) << "a failed row still holds its place";

  // A key prefix ends at its "|": size 10 is not size 100.
  auto byPrefix = s.copiesByKeyPrefix("/d1", "A|CLIP/C1.MP4|10|");
  ASSERT_EQ(byPrefix.size(), 1u);
  EXPECT_EQ(byPrefix[0].key, clip);
  EXPECT_EQ(byPrefix[0].view, "cls/풀샷/C1.MP4");
  EXPECT_TRUE(s.copiesByKeyPrefix("/d2", "A|CLIP/C1.MP4|100|").empty());

  // Only verified rows are listed or vouch for a hash.
  EXPECT_EQ(s.verifiedCopy(clip, "/d2"), std::nullopt);
  EXPECT_EQ(s.verifiedCopy(other, "/d1"), std::nullopt);
  auto listed = s.verifiedCopy(clip, "/d1");
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->hash, "h1");
  EXPECT_EQ(listed->md5, "m1");
  EXPECT_EQ(s.anyVerifiedHash(clip), "h1");
  EXPECT_EQ(s.anyVerifiedHash(other), std::nullopt);

  // A move changes the view of a mirrored clip (its copy stays) and the rel of a plain one.
  ASSERT_TRUE(s.moveCopy(clip, "/d1", "cls/인서트/C1.MP4", /*hasView=*/true));
  EXPECT_EQ(s.recordedView(clip, "/d1"), "cls/인서트/C1.MP4");
  EXPECT_EQ(s.copyPlaces(clip, "/d1").rel, "raw/C1.MP4");
  ASSERT_TRUE(s.moveCopy(clip, "/d2", "moved/C1.MP4", /*hasView=*/false));
  EXPECT_EQ(s.copyPlaces(clip, "/d2").rel, "moved/C1.MP4");
  EXPECT_EQ(s.copyPlaces(clip, "/d2").view, std::nullopt);
  EXPECT_EQ(s.copyPlaces(clip, "/d9").rel, std::nullopt);
  EXPECT_EQ(s.search("인서트", 10).size(), 1u) << "the search file learns of the move";
}

// A snapshot read and a group of writes are transactions of the store's own.
TEST(Store, TransactionsBeginCommitAndRollBack) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  EXPECT_FALSE(s.inTransaction());
  ASSERT_TRUE(s.beginImmediate());
  EXPECT_FALSE(s.begin()) << "no transaction inside another";
  s.record("A|x|1|1", "/d", "x", 1, "h", CopyState::verified, 1);
  s.rollback();
  EXPECT_FALSE(s.inTransaction());
  EXPECT_EQ(s.destRel("A|x|1|1", "/d"), std::nullopt);
  ASSERT_TRUE(s.begin());
  s.record("A|x|1|1", "/d", "x", 1, "h", CopyState::verified, 1);
  EXPECT_TRUE(s.commit());
  EXPECT_EQ(s.destRel("A|x|1|1", "/d"), "x");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(s.commit()) << "nothing to commit";
  s.rollback();  // nothing open: no fault, no line
  EXPECT_NE(testing::internal::GetCapturedStderr().find("COMMIT"), std::string::npos);
}

// Compiled statements are kept between calls: a nested call of the same text, a changed table
// and a connection closed and opened again all still answer from the rows as they are.
TEST(Store, KeptStatementsAnswerNestedAndAfterChanges) {
  TempDir t;
  const std::string db = t.path + "/db.sqlite";
  {
    Store s(db);
    s.record("A|x|1|1", "/d1", "x", 1, "h1", CopyState::verified, 1);
    s.record("A|y|1|1", "/d1", "y", 1, "h2", CopyState::verified, 1);
    const std::string sql = "SELECT rel FROM copy WHERE dest=? ORDER BY rel";
    std::vector<std::string> pairs;
    rawQuery(s, sql, {std::string("/d1")}, [&](const SqlRow& outer) {
      for (const auto& inner : column(s, sql, {std::string("/d1")}))
        pairs.push_back(outer.textOr(0) + inner);
    });
    EXPECT_EQ(pairs, (std::vector<std::string>{"xx", "xy", "yx", "yy"}));
    EXPECT_EQ(column(s, sql, {std::string("/d1")}), (std::vector<std::string>{"x", "y"}));
    rawExec(s, "ALTER TABLE copy ADD COLUMN extra TEXT");
    s.record("A|z|1|1", "/d1", "z", 1, "h3", CopyState::verified, 1);
    EXPECT_EQ(column(s, sql, {std::string("/d1")}), (std::vector<std::string>{"x", "y", "z"}));
    EXPECT_EQ(s.verifiedHash("A|y|1|1", "/d1"), "h2");
    EXPECT_FALSE(s.verifiedHash("A|y|1|1", "/d2"));  // bindings of the call before do not linger
  }
  Store again(db);
  EXPECT_EQ(again.verifiedHash("A|z|1|1", "/d1"), "h3");
  rawExec(again, "DELETE FROM copy WHERE key='A|z|1|1'");
  EXPECT_FALSE(again.verifiedHash("A|z|1|1", "/d1"));
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
  EXPECT_EQ(s.verifiedCount("A|x|1|1"), 0);
  EXPECT_EQ(s.verifiedCount("A|y|1|1"), 0);
  // Each dropped error is told, once: not once per file of a card.
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "TOLVERDINE 상태 DB 오류 (verifiedTally): no such table: copy\n");
  EXPECT_EQ(s.verifiedHash("A|x|1|1", "/d"), std::nullopt);
  EXPECT_EQ(s.destRel("A|x|1|1", "/d"), std::nullopt);
  EXPECT_TRUE(s.verifiedRoots().empty());
  EXPECT_TRUE(s.verifiedEntries("/d").empty());
  EXPECT_EQ(s.camForFile({"x", 1, 1}), std::nullopt);
  EXPECT_TRUE(s.search("x", 10).empty());
  EXPECT_TRUE(s.copiesOn("/d").empty());
  EXPECT_TRUE(s.entriesOn("/d").empty());
  EXPECT_EQ(s.verifiedCopy("A|x|1|1", "/d"), std::nullopt);
  EXPECT_EQ(s.anyVerifiedHash("A|x|1|1"), std::nullopt);
  EXPECT_FALSE(s.moveCopy("A|x|1|1", "/d", "y", false));
  EXPECT_THROW(s.copyNamed("/d", "x"), StoreError)
      << "the command tells a broken database from a missing clip";
  EXPECT_THROW(rawExec(s, "SELECT * FROM copy"), StoreError);
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

TEST(Store, RecordCardKeepsFirstFacts) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  std::vector<CardFile> files{{"a.mov", 100, 1}, {"b.mov", 23, 2}};
  s.recordCard("fp1", "A캠", files, std::nullopt);
  rawExec(s, "UPDATE card SET first_seen='2000-01-01T00:00:00Z', last_seen='2000-01-01T00:00:00Z'");
  EXPECT_EQ(s.camForCard("fp1")->volume, std::nullopt);

  s.recordCard("fp1", "B캠", {{"z", 1, 1}}, "UUID-1");
  s.recordCard("fp1", "C캠", {}, "UUID-2");
  auto c = s.camForCard("fp1");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->cam, "C캠");
  EXPECT_EQ(c->volume, "UUID-1");
  auto h = s.cardHistory(10);
  ASSERT_EQ(h.size(), 1u);
  EXPECT_EQ(h[0].files, 2);
  EXPECT_EQ(h[0].bytes, 123);
  EXPECT_EQ(h[0].firstSeen, "2000-01-01T00:00:00Z");
  EXPECT_NE(h[0].lastSeen, "2000-01-01T00:00:00Z");
  EXPECT_EQ(s.camForCard("other"), std::nullopt);

  s.recordCard("fp0", "A캠", {}, std::nullopt);
  rawExec(s, "UPDATE card SET last_seen='1999-01-01T00:00:00Z' WHERE fingerprint='fp0'");
  s.recordCard("fp2", "A캠", {}, std::nullopt);
  rawExec(s, "UPDATE card SET last_seen='2001-01-01T00:00:00Z' WHERE fingerprint='fp2'");
  h = s.cardHistory(2);
  ASSERT_EQ(h.size(), 2u);
  EXPECT_EQ(h[0].fingerprint, "fp1");
  EXPECT_EQ(h[1].fingerprint, "fp2");
}

TEST(Store, CamForFileMatchesWholeSuffixWithCase) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  s.record("A캠|DCIM/클립.MOV|10|5", "/d", "x", 10, "h", CopyState::failed, 1);
  s.record("B|sub/C.MOV|10|5", "/d", "y", 10, "h", CopyState::verified, 1);
  // A shorter path, another case, size or time is not the same file.
  for (auto [f, cam] : std::vector<std::pair<CardFile, std::optional<std::string>>>{
           {{"DCIM/클립.MOV", 10, 5}, "A캠"},
           {{"dcim/클립.mov", 10, 5}, {}},
           {{"DCIM/클립.MOV", 10, 6}, {}},
           {{"DCIM/클립.MOV", 110, 5}, {}},
           {{"C.MOV", 10, 5}, {}},
           {{"sub/C.MOV", 10, 5}, "B"}})
    EXPECT_EQ(s.camForFile(f), cam) << f.rel;
}

TEST(Store, CameraLabelsAndModels) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  s.rememberCamera("", "A캠");
  EXPECT_TRUE(s.allCameras().empty());
  EXPECT_EQ(s.cameraLabel(""), std::nullopt);

  s.rememberCamera("ILCE-7SM3#1234", "A캠");
  s.rememberCamera("FX6", "A캠");
  rawExec(s, "UPDATE camera SET at='2000-01-01T00:00:00Z' WHERE identity='FX6'");
  auto names = [](const std::string& code) -> std::optional<std::string> {
    if (code == "ILCE-7SM3") return "Sony A7S III";
    return std::nullopt;
  };
  EXPECT_EQ(s.modelFor("A캠", names), "Sony A7S III");
  EXPECT_EQ(s.modelFor("A캠"), "ILCE-7SM3");
  rawExec(s, "UPDATE camera SET at='2001-01-01T00:00:00Z' WHERE identity='ILCE-7SM3#1234'");
  rawExec(s, "UPDATE camera SET at='2002-01-01T00:00:00Z' WHERE identity='FX6'");
  EXPECT_EQ(s.modelFor("A캠", names), "FX6");
  EXPECT_EQ(s.modelFor("Z캠", names), std::nullopt);
  EXPECT_EQ(s.cameraLabel("FX6"), "A캠");
  EXPECT_EQ(s.cameraLabel("nope"), std::nullopt);

  // Importing relabels but keeps the time; remembering moves it.
  s.importCameras({{"FX6", "C캠"}, {"R5#9", "B캠"}});
  EXPECT_EQ(one(s, "SELECT label || ' ' || at FROM camera WHERE identity='FX6'"),
            "C캠 2002-01-01T00:00:00Z");
  EXPECT_EQ(s.allCameras(),
            (std::vector<CameraPair>{{"ILCE-7SM3#1234", "A캠"}, {"R5#9", "B캠"}, {"FX6", "C캠"}}));
  s.rememberCamera("FX6", "D캠");
  EXPECT_NE(one(s, "SELECT at FROM camera WHERE identity='FX6'"), "2002-01-01T00:00:00Z");
  EXPECT_EQ(s.cameraLabel("FX6"), "D캠");
}

TEST(Store, MovesBecomeSuggestions) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  struct Moves {
    std::optional<std::string> model, from;
    const char* to;
    int times;
  };
  for (const Moves& m : {Moves{"FX6", "기타", "인터뷰", 5}, Moves{"R5", {}, "풀샷", 6},
                         Moves{"R5", "풀샷", "인서트", 4}, Moves{{}, "풀샷", "인서트", 9}})
    for (int i = 0; i < m.times; ++i) s.appendMove(m.model, m.from, m.to, "a.mov", isoNow());
  auto g = s.suggestions(5);
  ASSERT_EQ(g.size(), 2u);
  EXPECT_EQ(g[0].model + g[0].cls + std::to_string(g[0].count), "R5풀샷6");
  EXPECT_EQ(g[1].model + g[1].cls + std::to_string(g[1].count), "FX6인터뷰5");
}

TEST(Store, SearchPatternsAndHits) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  s.record("A캠|DCIM/Élan_1.MOV|10|5", t.path, "A캠/Élan_1.MOV", 10, "h1", CopyState::verified, 1);
  s.record("A캠|DCIM/élan21.MOV|10|5", "/gone", "A캠/élan21.MOV", 10, std::nullopt,
           CopyState::failed, 1);
  s.record("B캠|X.MOV|3|3", "/gone", "raw/X.MOV", 3, "h3", CopyState::copied, 1, std::nullopt,
           "인터뷰/X.MOV");
  rawExec(s, "UPDATE copy SET at='2000-01-01T00:00:00Z' WHERE rel='raw/X.MOV'");
  // "_" and "%" are wildcards; non-ASCII case matters, ASCII case does not; decomposed search
  // text finds composed rows; the view and the key are searched too.
  for (auto [q, n] : std::vector<std::pair<std::string, size_t>>{{"lan21", 1},
                                                                 {"lan_1", 2},
                                                                 {"É%MOV", 1},
                                                                 {"é", 1},
                                                                 {"E\xcc\x81lan", 1},
                                                                 {"x.mov", 1},
                                                                 {"인터뷰", 1},
                                                                 {"B캠|", 1},
                                                                 {"nothing", 0}})
    EXPECT_EQ(s.search(q, 10).size(), n) << q;
  auto all = s.search("MOV", 10);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(s.search("MOV", 2).size(), 2u);
  const Hit& x = all.back();  // newest first
  EXPECT_EQ(x.rel, "raw/X.MOV");
  EXPECT_EQ(x.cam() + " " + x.name() + " " + x.classPath() + " " + x.id(),
            "B캠 X.MOV 인터뷰/X.MOV B캠|X.MOV|3|3|/gone");
  EXPECT_EQ(x.state, CopyState::copied);
  EXPECT_EQ(x.size, 3);
  EXPECT_FALSE(x.online());
  for (const auto& h : all) {
    if (h.rel == "A캠/Élan_1.MOV") {
      EXPECT_TRUE(h.online());
      EXPECT_EQ(h.hash, "h1");
      EXPECT_EQ(h.classPath(), h.rel);
    }
    if (h.state == CopyState::failed) {
      EXPECT_EQ(h.hash, std::nullopt);
    }
  }
  Hit bare;
  bare.key = "nokey";
  EXPECT_EQ(bare.cam(), "nokey");
}

// The indexed search gives exactly the rows of the plain statement, for texts that use the index
// and texts that do not, after updates, upserts and on a file made before the index existed or
// with the index inside it.
TEST(Store, IndexedSearchAnswersLikeThePlainStatement) {
  TempDir t;
  const std::string path = t.path + "/db.sqlite";
  {
    // An older file: the copy table only, rows already in it.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(
            db,
            "CREATE TABLE copy (key TEXT NOT NULL, dest TEXT NOT NULL, rel TEXT NOT NULL, size INTEGER NOT NULL,"
            " xxh64 TEXT, state TEXT NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, at TEXT NOT NULL,"
            " PRIMARY KEY (key, dest));"
            "INSERT INTO copy VALUES ('A캠|OLD/C9999.MP4|1|1', '/d1', '01_원본/A캠/옛날/C9999.MP4', 1, 'h', 'verified', 1,"
            " '2020-01-01T00:00:00Z');"
            // Earlier builds kept the index and its triggers in this file.
            "CREATE VIRTUAL TABLE copy_text USING fts5(rel, key, content='copy', content_rowid='rowid',"
            " tokenize='trigram');"
            "CREATE TRIGGER copy_text_ai AFTER INSERT ON copy BEGIN"
            " INSERT INTO copy_text(rowid, rel, key) VALUES (new.rowid, new.rel, new.key); END;"
            "INSERT INTO copy_text(copy_text) VALUES ('rebuild');",
            nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
  }
  Store s(path);
  EXPECT_EQ(column(s, "SELECT name FROM sqlite_master WHERE type IN ('table', 'trigger', 'view')"),
            std::vector<std::string>{"copy"});
  rawExec(s, "BEGIN");
  for (int i = 0; i < 3000; ++i) {
    char rel[96], key[128], view[96];
    std::snprintf(rel, sizeof rel, "01_원본/%c캠/S%03d/%s/C%05d.MP4", 'A' + i % 3, i % 40,
                  i % 7 ? "기타" : "인터뷰", i);
    std::snprintf(key, sizeof key, "%c캠|PRIVATE/M4ROOT/CLIP/C%05d.MP4|%d|%d", 'A' + i % 3, i,
                  100 + i, i);
    std::snprintf(view, sizeof view, "01_원본/A캠/S001/풀샷/V%05d.MP4", i);
    s.record(key, i % 2 ? "/d1" : "/d2", rel, 100 + i, "h",
             i % 5 ? CopyState::verified : CopyState::failed, 1, std::nullopt,
             i % 11 == 0 ? std::optional<std::string>(view) : std::nullopt);
  }
  rawExec(s, "COMMIT");
  // Distinct times, long past: the index cannot lean on rows being recent.
  rawExec(
      s,
      "UPDATE copy SET at=printf('2021-01-01T%02d:%02d:%02dZ', rowid / 3600, rowid / 60 % 60, rowid % 60)");
  ASSERT_EQ(s.search("C00012", 300).size(), 1u);  // builds the search file
  ASSERT_TRUE(exists(Store::searchIndexPath(path)));
  // Changes after the build: a clip moved by hand (its `at` stays), a record of a new place.
  rawQuery(
      s,
      "UPDATE copy SET rel='01_원본/B캠/S999/풀샷/MOVED.MP4' WHERE key LIKE 'A캠|PRIVATE/M4ROOT/CLIP/C00003.MP4%'",
      {}, {});
  s.record("B캠|PRIVATE/M4ROOT/CLIP/C00004.MP4|104|4", "/d2", "01_원본/B캠/S004/기타/RENAMED.MP4",
           104, "h", CopyState::verified, 1);
  {
    // A second connection moves a clip too; the first learns of it without being told.
    Store other(path);
    rawQuery(
        other,
        "UPDATE copy SET view='01_원본/C캠/S888/인서트/OTHERMOVE.MP4' WHERE key LIKE 'C캠|PRIVATE/M4ROOT/CLIP/C00005.MP4%'",
        {}, {});
  }

  // What the statement without the index gives; literal: wildcards meant as characters.
  auto plain = [&](const std::string& text, int limit, bool literal = false) {
    std::vector<std::string> out;
    const std::string p = "%" + (literal ? likeEscape(text) : text) + "%",
                      like = literal ? " LIKE ?1 ESCAPE '\\'" : " LIKE ?1";
    rawQuery(s,
             "SELECT key, dest FROM copy WHERE rel" + like + " OR view" + like + " OR key" + like +
                 " ORDER BY at DESC, rowid LIMIT ?2",
             {p, limit}, [&](const SqlRow& r) { out.push_back(r.textOr(0) + "|" + r.textOr(1)); });
    return out;
  };
  auto indexed = [&](const std::string& text, int limit) {
    std::vector<std::string> out;
    for (const auto& h : s.search(text, limit)) out.push_back(h.key + "|" + h.dest);
    return out;
  };
  auto sorted = [](std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  for (const std::string text :
       {"C00012", "c00012", "인터뷰/C0001", "V00022", "MOVED", "moved.mp4", "RENAMED", "OTHERMOVE",
        "C9999", "옛날", "S039/기타", "B캠|PRIVATE", "C00004", "none-such", "\"quoted\"", "C0%12",
        "C_0012", "A캠", "MP4"}) {
    for (int limit : {1, 5, 300}) {
      auto want = plain(text, limit), got = indexed(text, limit);
      EXPECT_EQ(got.size(), want.size()) << text << " limit " << limit;
      // Rows recorded in the same second tie on time; a full list must hold the same rows.
      if (want.size() < static_cast<size_t>(limit)) {
        EXPECT_EQ(sorted(got), sorted(want)) << text;
      }
    }
  }
  // The library's literal search answers like its plain statement.
  for (const std::string text :
       {"C00012", "c00012", "C0%12", "C_0012", "S039/기타", "100%", "\\x", "MOVED"}) {
    std::vector<std::string> got;
    for (const auto& h : librarySearch(s, text, 300)) got.push_back(h.key + "|" + h.dest);
    EXPECT_EQ(sorted(got), sorted(plain(text, 300, true))) << text;
  }
  // A rare text is looked up in the index, not by reading every row.
  rawExec(s, "DELETE FROM search.copy_text");
  EXPECT_TRUE(librarySearch(s, "C00012", 300).empty());
  rawExec(s, "DELETE FROM search.meta");  // an index that does not know its database is built again
  EXPECT_EQ(librarySearch(s, "C00012", 300).size(), 1u);
  EXPECT_EQ(librarySearch(s, "OTHERMOVE", 300).size(), 1u);

  auto moved = s.search("C00003", 300);
  ASSERT_EQ(moved.size(), 1u) << "still found through its key";
  EXPECT_EQ(moved[0].rel, "01_원본/B캠/S999/풀샷/MOVED.MP4");
  EXPECT_TRUE(s.search("S003/기타/C00003", 300).empty())
      << "the old path of a moved copy is gone from the index";
}

// The search file is built beside the database while another connection goes on recording:
// each of its records is written at once, and the search finds them as well as the old rows.
TEST(Store, SearchIndexBuildsBesideTheDatabaseWithoutStoppingRecords) {
  TempDir t;
  const std::string path = t.path + "/ingest.sqlite";
  EXPECT_EQ(Store::searchIndexPath(path), t.path + "/ingest-search.sqlite");
  constexpr int kRows = 30000;
  {
    Store s(path);
    rawExec(s, "BEGIN");
    for (int i = 0; i < kRows; ++i) {
      char rel[96], key[128];
      std::snprintf(rel, sizeof rel, "01_원본/A캠/S%03d/기타/C%06d.MP4", i % 300, i);
      std::snprintf(key, sizeof key, "A캠|CLIP/C%06d.MP4|%d|%d", i, i, i);
      s.record(key, "/d1", rel, i, "h", CopyState::verified, 1);
    }
    rawExec(s, "COMMIT");
  }
  Store builder(path);
  std::atomic<bool> building{true};
  std::thread build([&] {
    EXPECT_TRUE(builder.updateSearchIndex());
    building = false;
  });
  Store writer(path);
  testing::internal::CaptureStderr();
  int during = 0, records = 0;
  double slowest = 0;
  for (int i = 0; building; ++i, ++records) {
    auto t0 = std::chrono::steady_clock::now();
    writer.record("B캠|LATE/L" + std::to_string(i) + ".MP4|1|1", "/d1",
                  "01_원본/B캠/LATE" + std::to_string(i) + ".MP4", 1, "h", CopyState::verified, 1);
    slowest = std::max(
        slowest,
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    if (building) ++during;
    // Meanwhile the search answers exactly, whatever part of the rows the index holds yet.
    if (i % 10 == 0) {
      EXPECT_EQ(librarySearch(writer, "/LATE", 1000000).size(), static_cast<size_t>(i + 1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  build.join();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "no record failed";
  // On a loaded machine the writer may get few turns; one record during the build shows it.
  EXPECT_GE(during, 1) << "the build was too quick to show anything";
  EXPECT_LT(slowest, 1000.0) << "a record waited for the build";
  EXPECT_EQ(librarySearch(writer, "/LATE", 1000000).size(), static_cast<size_t>(records));
  EXPECT_EQ(librarySearch(writer, "C000123.MP4").size(), 1u);

  // A database replaced by a new file (the inode may well be reused) does not inherit the index.
  {
    Store replaced(t.path + "/other.sqlite");
    replaced.record("C캠|NEW/N1.MP4|1|1", "/d9", "01_원본/C캠/N1.MP4", 1, "h", CopyState::verified,
                    1);
  }
  std::filesystem::remove(path);
  std::filesystem::remove(path + "-wal");
  std::filesystem::remove(path + "-shm");
  std::filesystem::rename(t.path + "/other.sqlite", path);
  Store fresh(path);
  EXPECT_TRUE(librarySearch(fresh, "C000123").empty());
  EXPECT_EQ(librarySearch(fresh, "N1.MP4").size(), 1u);
}

TEST(Store, SummaryText) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  s.summary();
  EXPECT_EQ(one(s, "SELECT count(*) FROM sqlite_master WHERE name='camera'"), "0")
      << "the summary must not create the camera table";

  s.record("A|a|10|1", "/d1", "a", 10, "h", CopyState::verified, 1);
  s.record("A|b|5|1", "/d1", "b", 5, "h", CopyState::failed, 3);
  rawExec(s, "UPDATE copy SET at='2026-01-02T03:04:05Z'");
  s.recordCard("fp", "A", {{"a", 10, 1}}, std::nullopt);
  rawExec(s, "UPDATE card SET first_seen='2026-01-01T00:00:00Z', last_seen='2026-01-02T00:00:00Z'");
  // A camera table written by hand without NOT NULL shows how absent values print.
  rawExec(s, "CREATE TABLE camera (identity TEXT PRIMARY KEY, label TEXT, at TEXT)");
  rawExec(s, "INSERT INTO camera VALUES ('FX6', NULL, '2026-01-01T00:00:00Z')");
  EXPECT_EQ(s.summary(),
            "## copy 상태별 (state | 파일 | 바이트)\n"
            "failed | 1 | 5\n"
            "verified | 1 | 10\n"
            "\n"
            "## 목적지별 (dest | 파일 | 검증 | 바이트)\n"
            "/d1 | 2 | 1 | 15\n"
            "\n"
            "## 카드 (cam | 파일 | 바이트 | 처음 | 마지막)\n"
            "A | 1 | 10 | 2026-01-01T00:00:00Z | 2026-01-02T00:00:00Z\n"
            "\n"
            "## 카메라 (identity | label)\n"
            "FX6 | -\n"
            "\n"
            "## 최근 미검증 50건 (at | state | attempts | dest | rel)\n"
            "2026-01-02T03:04:05Z | failed | 3 | /d1 | b\n");
}

}  // namespace
}  // namespace tolverdine
