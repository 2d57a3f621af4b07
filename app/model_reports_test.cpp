// What the report pages show of a run: a finished card's outcome per destination, and the report
// of a card copied before start-up, rebuilt from its clip list and the database. Which earlier
// runs are listed: EarlierJobs.*; the verdict outliving the card list: Model.NewCard…; the pages
// themselves, a red card started again, earlier cards after a restart: the browser flow.
#include <gtest/gtest.h>

#include "app/card_run.h"
#include "app/choices.h"
#include "engine/base/files.h"
#include "engine/reports/earlier_jobs.h"
#include "engine/store/store.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

// Cards of one camera with a clip of the same card path and size: an earlier run's report takes
// its own copy, by the hash its clip list names or else by the place; one it cannot tell apart
// keeps no file time, so a move from the report finds nothing rather than another card's clip.
TEST(ModelEarlier, AnEarlierReportTakesOnlyItsOwnCopyOfASharedCardPath) {
  TempDir t;
  Store store(t.path + "/db.sqlite");
  const std::string root = t.path + "/20260305_데모";
  store.record("A캠|CLIP/C0001.MP4|100|111", root, "01/S1/인터뷰/C0001.MP4", 100,
               "aaaaaaaaaaaaaaaa", CopyState::verified, 1);
  store.record("A캠|CLIP/C0001.MP4|100|222", root, "01/S2/기타/C0001.MP4", 100, "bbbbbbbbbbbbbbbb",
               CopyState::verified, 1);
  EarlierJob job;
  job.cam = "A캠", job.src = "/media/card", job.roots = {root}, job.csv = t.path + "/A캠_clips.csv";
  for (auto [dest, hash, mtimeNs] : std::vector<std::tuple<std::string, std::string, int64_t>>{
           {"01/S2/기타/C0001.MP4", "bbbbbbbbbbbbbbbb", 222},
           {"01/S2/풀샷/C0001.MP4", "bbbbbbbbbbbbbbbb", 222},
           {"01/S2/기타/C0001.MP4", "", 222},
           {"01/S3/기타/C0001.MP4", "", 0}}) {
    // With a byte-order mark, and a field holding a comma, quotes and a line break before the
    // hash: read as one field, or the hash is lost.
    writeFile(job.csv,
              "\xEF\xBB\xBF파일,목적지경로,분류뷰경로,종류,분류,세션,길이,해상도,fps,촬영시각,출처,"
              "크기,xxh64,사본\r\nCLIP/C0001.MP4," +
                  dest + ",,video,기타,S2,\"1,\"\"2\"\"\n3\",,,,,100," + hash + ",2\n");
    auto report = earlierReport(job, store);
    ASSERT_TRUE(report);
    ASSERT_EQ(report->rows.size(), 1u);
    EXPECT_EQ(report->rows[0].mtimeNs, mtimeNs) << dest << " " << hash;
  }
}

TEST(ModelFinished, DestinationOutcomesAndClassesOfClassifiedPaths) {
  IngestResult res;
  res.verified["/a/P"] = {Verified{}, Verified{}};
  res.failed = {{"x/1", "/b/P", "No space left on device"}, {"x/2", "/b/P", "other"}};
  res.lostDests = {"/c/P"};
  auto out = destOutcomes(res, {"/a/P", "/b/P", "/c/P"}, 3);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].verified, 2);
  EXPECT_EQ(out[0].failed, 0);
  EXPECT_EQ(out[0].existing, 1) << "held already from the run before the retry";
  EXPECT_EQ(out[1].failed, 2);
  EXPECT_EQ(out[1].why, "No space left on device");
  EXPECT_FALSE(out[1].lost);
  EXPECT_TRUE(out[2].lost);
  // The class a copy's path names, under either set of folder names (the page's move menus).
  EXPECT_EQ(classOfPath("01_FOOTAGE/A캠/1_0930-1015/INTERVIEW/C0012.MP4"), "인터뷰");
  EXPECT_EQ(classOfPath("03_사진/A캠/DSC00001.JPG"), std::nullopt);
}

}  // namespace
}  // namespace tolverdine
