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
  std::filesystem::create_directory(t.path + "/dir.sqlite");
  try {
    Store s(t.path + "/dir.sqlite");
    ADD_FAILURE() << "a folder must not open as a database";
  } catch (const StoreError& e) {
    EXPECT_EQ(e.message, "DB 열기 실패: " + t.path + "/dir.sqlite");
  }
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
                "||' '||md5||' '||view FROM copy"),
            "1 new/c.mov 11 bbbb verified 5 md5one view/c.mov");
  const std::string at = one(s, "SELECT at FROM copy");
  EXPECT_NE(at, "2000-01-01T00:00:00Z");
  s.record(k, "/d", "new/c.mov", 11, std::nullopt, CopyState::verified, 0, "md5two", "view2");
  EXPECT_EQ(one(s, "SELECT md5 || ' ' || view || ' ' || attempts FROM copy"), "md5two view2 5");
  EXPECT_EQ(s.verifiedHash(k, "/d"), std::nullopt) << "a NULL hash is no hash";

  for (CopyState st : {CopyState::copied, CopyState::verified, CopyState::failed}) {
    const std::string key = std::string("A|") + copyStateText(st) + "|1|1";
    s.record(key, "/s", copyStateText(st), 1, "h", st, 1);
    EXPECT_EQ(one(s, "SELECT state FROM copy WHERE key=?", {key}), copyStateText(st));
    EXPECT_EQ(s.copyNamed("/s", copyStateText(st))->state, st);
  }
  EXPECT_EQ(column(s, "SELECT state FROM copy WHERE dest='/s' ORDER BY state"),
            (Strings{"copied", "failed", "verified"}));
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
  EXPECT_EQ(s.verifiedEntries("/d1").size(), 1u);

  s.record(k, "/d2", "raw/C1.MP4", 10, "h2", CopyState::failed, 1);  // a later failure un-verifies
  EXPECT_EQ(s.verifiedCount(k), 1);
  EXPECT_EQ(s.verifiedRoots(), Strings{"/d1"});
  for (const char* dest : {"/d2", "/d3"}) {
    EXPECT_EQ(s.verifiedHash(k, dest), std::nullopt) << dest;
    EXPECT_FALSE(s.verifiedRow(k, dest)) << "no copy to skip on a re-run: " << dest;
    EXPECT_EQ(s.verifiedCopy(k, dest), std::nullopt) << dest;
    EXPECT_TRUE(s.verifiedEntries(dest).empty()) << dest;
  }
  EXPECT_EQ(s.verifiedHash(k, "/d1"), "h1");
  EXPECT_EQ(s.verifiedRow(k, "/d1")->rel, "raw/C1.MP4");
  auto listed = s.verifiedCopy(k, "/d1");
  ASSERT_TRUE(listed);
  EXPECT_EQ(*listed->hash + *listed->md5, "h1m1");
  EXPECT_EQ(s.anyVerifiedHash(k), "h1");
  EXPECT_EQ(s.anyVerifiedHash(other), std::nullopt);
  EXPECT_EQ(s.destRel(k, "/d3"), "c3.MP4");
  EXPECT_EQ(s.destRel(k, "/nowhere"), std::nullopt);
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
  EXPECT_EQ(on1[1].rel, "raw/C1.MP4");
  EXPECT_EQ(on1[2].state, CopyState::copied);
  EXPECT_EQ(s.entriesOn("/d2").size(), 2u) << "a failed row still holds its place";
  // A key prefix ends at its "|": size 10 is not size 100.
  auto byPrefix = s.copiesByKeyPrefix("/d1", "A|CLIP/C1.MP4|10|");
  ASSERT_EQ(byPrefix.size(), 1u);
  EXPECT_EQ(byPrefix[0].key, k);
  EXPECT_EQ(byPrefix[0].view, "cls/풀샷/C1.MP4");
  EXPECT_TRUE(s.copiesByKeyPrefix("/d3", "A|CLIP/C1.MP4|100|").empty());

  // A move changes the view of a mirrored clip (its copy stays) and the rel of a plain one.
  ASSERT_TRUE(s.moveCopy(k, "/d1", "cls/인서트/C1.MP4", /*hasView=*/true));
  EXPECT_EQ(s.recordedView(k, "/d1"), "cls/인서트/C1.MP4");
  EXPECT_EQ(s.copyPlaces(k, "/d1").rel, "raw/C1.MP4");
  ASSERT_TRUE(s.moveCopy(k, "/d2", "moved/C1.MP4", /*hasView=*/false));
  EXPECT_EQ(s.copyPlaces(k, "/d2").rel, "moved/C1.MP4");
  EXPECT_EQ(s.copyPlaces(k, "/d2").view, std::nullopt);
  EXPECT_EQ(s.copyPlaces(k, "/d9").rel, std::nullopt);
  EXPECT_EQ(librarySearch(s, "인서트").size(), 1u) << "the search file learns of the move";
}

// Transactions of the store's own, and compiled statements kept between calls: a nested call of
// the same text, a changed table and a connection opened again all answer from the rows as they
// are.
TEST(Store, TransactionsAndKeptStatements) {
  TempDir t;
  const std::string db = t.path + "/db.sqlite";
  {
    Store s(db);
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
    testing::internal::CaptureStderr();
    EXPECT_FALSE(s.commit()) << "nothing to commit";
    s.rollback();  // nothing open: no fault, no line
    EXPECT_NE(testing::internal::GetCapturedStderr().find("COMMIT"), std::string::npos);

    const std::string sql = "SELECT rel FROM copy WHERE dest=? ORDER BY rel";
    Strings pairs;
    rawQuery(s, sql, {std::string("/d1")}, [&](const SqlRow& outer) {
      for (const auto& inner : column(s, sql, {std::string("/d1")}))
        pairs.push_back(outer.textOr(0) + inner);
    });
    EXPECT_EQ(pairs, (Strings{"xx", "xy", "yx", "yy"}));
    rawExec(s, "ALTER TABLE copy ADD COLUMN extra TEXT");
    s.record("A|z|1|1", "/d1", "z", 1, "h3", CopyState::verified, 1);
    EXPECT_EQ(column(s, sql, {std::string("/d1")}), (Strings{"x", "y", "z"}));
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

// A card keeps its first facts and volume; a file is found by its whole path, case, size and time.
TEST(Store, CardsAndFiles) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  s.recordCard("fp1", "A캠", {{"a.mov", 100, 1}, {"b.mov", 23, 2}}, std::nullopt);
  rawExec(s, "UPDATE card SET first_seen='2000-01-01T00:00:00Z', last_seen='2000-01-01T00:00:00Z'");
  EXPECT_EQ(s.camForCard("fp1")->volume, std::nullopt);
  s.recordCard("fp1", "B캠", {{"z", 1, 1}}, "UUID-1");
  s.recordCard("fp1", "C캠", {}, "UUID-2");
  auto c = s.camForCard("fp1");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->cam + " " + c->volume.value_or("-"), "C캠 UUID-1");
  auto h = s.cardHistory(10);
  ASSERT_EQ(h.size(), 1u);
  EXPECT_EQ(h[0].files * 1000 + h[0].bytes, 2123);
  EXPECT_EQ(h[0].firstSeen, "2000-01-01T00:00:00Z");
  EXPECT_NE(h[0].lastSeen, "2000-01-01T00:00:00Z");
  EXPECT_EQ(s.camForCard("other"), std::nullopt);
  for (auto [fp, seen] : {std::pair{"fp0", "1999"}, {"fp2", "2001"}}) {
    s.recordCard(fp, "A캠", {}, std::nullopt);
    rawQuery(s, "UPDATE card SET last_seen=?1 || '-01-01T00:00:00Z' WHERE fingerprint=?2",
             {std::string(seen), std::string(fp)}, {});
  }
  h = s.cardHistory(2);
  ASSERT_EQ(h.size(), 2u);
  EXPECT_EQ(h[0].fingerprint + h[1].fingerprint, "fp1fp2");

  s.record("A캠|DCIM/클립.MOV|10|5", "/d", "x", 10, "h", CopyState::failed, 1);
  s.record("B|sub/C.MOV|10|5", "/d", "y", 10, "h", CopyState::verified, 1);
  const std::vector<std::tuple<std::string, int64_t, int64_t, std::string>> cams = {
      {"DCIM/클립.MOV", 10, 5, "A캠"}, {"dcim/클립.mov", 10, 5, ""}, {"DCIM/클립.MOV", 10, 6, ""},
      {"DCIM/클립.MOV", 110, 5, ""},   {"C.MOV", 10, 5, ""},         {"sub/C.MOV", 10, 5, "B"}};
  for (auto [rel, size, mtime, cam] : cams)
    EXPECT_EQ(s.camForFile({rel, size, mtime}).value_or(""), cam) << rel;
}

// Labels, the model behind a label, and moves that become suggestions.
TEST(Store, CamerasAndSuggestions) {
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

// Non-ASCII case matters, ASCII case does not; decomposed search text finds composed rows; the
// view and the key are searched too.
TEST(Store, SearchPatternsAndHits) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  s.record("A캠|DCIM/Élan_1.MOV|10|5", t.path, "A캠/Élan_1.MOV", 10, "h1", CopyState::verified, 1);
  s.record("A캠|DCIM/élan21.MOV|10|5", "/gone", "A캠/élan21.MOV", 10, std::nullopt,
           CopyState::failed, 1);
  s.record("B캠|X.MOV|3|3", "/gone", "raw/X.MOV", 3, "h3", CopyState::copied, 1, std::nullopt,
           "인터뷰/X.MOV");
  rawExec(s, "UPDATE copy SET at='2000-01-01T00:00:00Z' WHERE rel='raw/X.MOV'");
  const std::vector<std::pair<std::string, size_t>> counts = {
      {"lan21", 1},  {"é", 1},    {"E\xcc\x81lan", 1}, {"x.mov", 1},
      {"인터뷰", 1}, {"B캠|", 1}, {"nothing", 0},      {"MOV", 3}};
  for (auto [q, n] : counts) EXPECT_EQ(librarySearch(s, q).size(), n) << q;
  EXPECT_EQ(librarySearch(s, "MOV", 2).size(), 2u);
  auto all = librarySearch(s, "MOV");
  const Hit& x = all.back();  // newest first
  EXPECT_EQ(x.cam() + " " + x.name() + " " + x.classPath() + " " + x.id() + " " + x.rel,
            "B캠 X.MOV 인터뷰/X.MOV B캠|X.MOV|3|3|/gone raw/X.MOV");
  EXPECT_EQ(x.state, CopyState::copied);
  EXPECT_EQ(x.size, 3);
  EXPECT_FALSE(x.online());
  for (const auto& h : all) {
    if (h.rel == "A캠/Élan_1.MOV") {
      EXPECT_EQ((h.online() ? "online " : "") + *h.hash + " " + h.classPath(),
                "online h1 A캠/Élan_1.MOV");
    }
    if (h.state == CopyState::failed) {
      EXPECT_EQ(h.hash, std::nullopt);
    }
  }
}

// The indexed search gives exactly the rows of the plain statement, for texts that use the index
// and texts that do not, after updates, upserts and on a file made before the index existed or
// with the index inside it.
TEST(Store, IndexedSearchAnswersLikeThePlainStatement) {
  TempDir t;
  const std::string path = t.path + "/db.sqlite";
  {
    // An older file: the copy table only, rows in it, and the index and its trigger inside it.
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
  EXPECT_EQ(column(s, kTables), Strings{"copy"});
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
  ASSERT_EQ(librarySearch(s, "C00012", 300).size(), 1u);  // builds the search file
  ASSERT_TRUE(exists(Store::searchIndexPath(path)));
  // Changes after the build: a clip moved by hand (its `at` stays), a record of a new place, and
  // a move by a second connection, which the first learns of without being told.
  rawExec(s,
          "UPDATE copy SET rel='01_원본/B캠/S999/풀샷/MOVED.MP4' WHERE key LIKE "
          "'A캠|PRIVATE/M4ROOT/CLIP/C00003.MP4%'");
  s.record("B캠|PRIVATE/M4ROOT/CLIP/C00004.MP4|104|4", "/d2", "01_원본/B캠/S004/기타/RENAMED.MP4",
           104, "h", CopyState::verified, 1);
  {
    Store other(path);
    rawExec(other,
            "UPDATE copy SET view='01_원본/C캠/S888/인서트/OTHERMOVE.MP4' WHERE key LIKE "
            "'C캠|PRIVATE/M4ROOT/CLIP/C00005.MP4%'");
  }

  // What the statement without the index gives, wildcards meant as characters.
  auto plain = [&](const std::string& text, int limit) {
    Strings out;
    rawQuery(s,
             "SELECT key, dest FROM copy WHERE rel LIKE ?1 ESCAPE '\\' OR view LIKE ?1 ESCAPE "
             "'\\' OR key LIKE ?1 ESCAPE '\\' ORDER BY at DESC, rowid LIMIT ?2",
             {"%" + likeEscape(text) + "%", limit},
             [&](const SqlRow& r) { out.push_back(r.textOr(0) + "|" + r.textOr(1)); });
    std::sort(out.begin(), out.end());
    return out;
  };
  auto ids = [](const std::vector<Hit>& hits) {
    Strings out;
    for (const auto& h : hits) out.push_back(h.key + "|" + h.dest);
    std::sort(out.begin(), out.end());
    return out;
  };
  for (const std::string text :
       {"C00012",  "c00012",    "인터뷰/C0001", "V00022", "MOVED",     "moved.mp4",
        "RENAMED", "OTHERMOVE", "C9999",        "옛날",   "S039/기타", "B캠|PRIVATE",
        "C00004",  "none-such", "\"quoted\"",   "C0%12",  "C_0012",    "100%",
        "\\x",     "A캠",       "MP4"}) {
    for (int limit : {1, 5, 300}) {
      auto want = plain(text, limit), got = ids(librarySearch(s, text, limit));
      EXPECT_EQ(got.size(), want.size()) << text << " limit " << limit;
      // Rows recorded in the same second tie on time; a full list must hold the same rows.
      if (want.size() < static_cast<size_t>(limit)) {
        EXPECT_EQ(got, want) << text;
      }
    }
  }
  // A rare text is looked up in the index, not by reading every row.
  rawExec(s, "DELETE FROM search.copy_text");
  EXPECT_TRUE(librarySearch(s, "C00012", 300).empty());
  rawExec(s, "DELETE FROM search.meta");  // an index that does not know its database is built again
  EXPECT_EQ(librarySearch(s, "C00012", 300).size(), 1u);
  EXPECT_EQ(librarySearch(s, "OTHERMOVE", 300).size(), 1u);
  auto moved = librarySearch(s, "C00003", 300);
  ASSERT_EQ(moved.size(), 1u) << "still found through its key";
  EXPECT_EQ(moved[0].rel, "01_원본/B캠/S999/풀샷/MOVED.MP4");
  EXPECT_TRUE(librarySearch(s, "S003/기타/C00003", 300).empty())
      << "the old path of a moved copy is gone from the index";
}

// The search file is built beside the database while another connection goes on recording:
// each of its records is written at once, and the search finds them as well as the old rows.
TEST(Store, SearchIndexBuildsBesideTheDatabaseWithoutStoppingRecords) {
  TempDir t;
  const std::string path = t.path + "/ingest.sqlite";
  EXPECT_EQ(Store::searchIndexPath(path), t.path + "/ingest-search.sqlite");
  {
    Store s(path);
    rawExec(s, "BEGIN");
    for (int i = 0; i < 30000; ++i) {
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
  for (const char* end : {"", "-wal", "-shm"}) std::filesystem::remove(path + end);
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
            "## copy 상태별 (state | 파일 | 바이트)\nfailed | 1 | 5\nverified | 1 | 10\n\n"
            "## 목적지별 (dest | 파일 | 검증 | 바이트)\n/d1 | 2 | 1 | 15\n\n"
            "## 카드 (cam | 파일 | 바이트 | 처음 | 마지막)\n"
            "A | 1 | 10 | 2026-01-01T00:00:00Z | 2026-01-02T00:00:00Z\n\n"
            "## 카메라 (identity | label)\nFX6 | -\n\n"
            "## 최근 미검증 50건 (at | state | attempts | dest | rel)\n"
            "2026-01-02T03:04:05Z | failed | 3 | /d1 | b\n");
}

}  // namespace
}  // namespace tolverdine
