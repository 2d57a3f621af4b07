// Destinations that are one folder: refused before a run writes anything, and folded into one
// text when an older database holds several spellings of one folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include "engine/base/canonical_path.h"
#include "engine/copy/ingest_test_util.h"
#include "testing/store_access.h"

namespace tolverdine {
namespace {

using namespace tolverdine::testing;

TEST(DestPaths, OneFolderTwiceInOneRunIsRefusedBeforeAnythingIsWritten) {
  TempDir t;
  const std::string base = canonicalPath(t.path), card = base + "/card", d1 = base + "/d1",
                    d2 = base + "/d2";
  Row r = cardRow(card, "CLIP/C0001.MP4", 5000, 1);
  mkdirs(d2);
  mkdirs(base + "/d11");
  ASSERT_EQ(::symlink(d1.c_str(), (base + "/link").c_str()), 0);
  Store store(base + "/db.sqlite");
  const std::vector<std::vector<std::string>> refused = {
      {d1 + "/P", d1 + "/P/"},
      {d1 + "/P", base + "/link/P"},
      {d2 + "/P", d1 + "/P", d1 + "/P/sub"},
      {d1 + "/P/../P", d1 + "/P"},
  };
  mkdirs(d1);
  for (const auto& dests : refused) {
    auto s = thrown<IngestStop>(
        [&] { runIngest({r}, card, kCam, dests, NameSet::ko(), store, 2, {}, plenty, {}); });
    EXPECT_TRUE(s && s->is<IngestStop::SameFolder>()) << dests.back();
    EXPECT_FALSE(exists(d1 + "/P")) << dests.back();
    EXPECT_FALSE(exists(d2 + "/P")) << dests.back();
  }
  EXPECT_EQ(dbRows(store), 0);
  // Neighbours whose names share a prefix are two folders, taken; on one drive they hold one copy.
  IngestResult ok = runIngest({r}, card, kCam, {d1 + "/P", base + "/d11/P"}, NameSet::ko(), store,
                              2, {}, plenty, {});
  EXPECT_EQ(ok.color, CardColor::yellow);
  EXPECT_EQ(ok.verified.size(), 2u);
}

// The copy table exactly as builds before this one created it, filled the way they filled it.
void oldDatabase(const std::string& path, const std::vector<std::vector<std::string>>& rows) {
  std::string sql =
      "PRAGMA journal_mode=WAL;"
      "CREATE TABLE copy (\n"
      "  key TEXT NOT NULL, dest TEXT NOT NULL, rel TEXT NOT NULL, size INTEGER NOT NULL,\n"
      "  xxh64 TEXT, state TEXT NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, at TEXT NOT NULL,\n"
      "  PRIMARY KEY (key, dest));"
      "ALTER TABLE copy ADD COLUMN md5 TEXT; ALTER TABLE copy ADD COLUMN view TEXT;";
  for (const auto& r : rows)
    sql += "INSERT INTO copy (key, dest, rel, size, xxh64, state, attempts, at) VALUES ('" + r[0] +
           "','" + r[1] + "','x/C0001.MP4',5,'" + r[2] + "','" + r[3] + "',1,'" + r[4] + "');";
  EXPECT_EQ(sh("sqlite3 '" + path + "' \"" + sql + "\""), 0);
}

TEST(DestPaths, OlderDatabaseCountsOneFolderOnce) {
  TempDir t;
  const std::string base = canonicalPath(t.path), d1 = base + "/d1", d2 = base + "/d2";
  mkdirs(d1 + "/20260301_R");
  mkdirs(d2);
  ASSERT_EQ(::symlink(d1.c_str(), (base + "/link").c_str()), 0);
  const std::string p1 = d1 + "/20260301_R";
  // Two spellings of d1's project folder per file, as `--dest d1/` then `--dest d1` left them.
  oldDatabase(
      base + "/old.sqlite",
      {{"A캠|a|5|1", d1 + "//20260301_R", "aaaa000000000001", "verified", "2026-03-01T09:00:00Z"},
       {"A캠|a|5|1", p1, "aaaa000000000002", "verified", "2026-03-01T10:00:00Z"},
       // The newer of the two is failed: the folder holds no verified copy of b.
       {"A캠|b|5|1", p1 + "/", "bbbb000000000001", "verified", "2026-03-01T09:00:00Z"},
       {"A캠|b|5|1", base + "/link/20260301_R/.", "bbbb000000000002", "failed",
        "2026-03-01T11:00:00Z"},
       // Only an untidy spelling: renamed, kept.
       {"A캠|c|5|1", d1 + "/./20260301_R", "cccc000000000001", "verified", "2026-03-01T09:00:00Z"},
       {"A캠|c|5|1", d2 + "/20260301_R", "cccc000000000002", "verified", "2026-03-01T09:00:00Z"}});
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

}  // namespace
}  // namespace tolverdine
