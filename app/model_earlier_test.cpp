// Cards of the project copied before start-up: listed from the destinations' reports, their
// report opened from the clip list and the database. Which runs are listed: EarlierJobs.*.
#include "app/model_test_util.h"
#include "engine/reports/earlier_jobs.h"
#include "engine/store/store_open.h"

namespace tolverdine {
namespace {

TEST(ModelEarlier, CardsOfTheProjectFromEarlierRunsOpenTheirReportAfterARestart) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["ejectOnGreen"] = false;
  Model& first = r.make();
  first.start();
  ASSERT_TRUE(r.copyThrough(r.card("A001", 2, 1, true)));
  ASSERT_TRUE(r.settle());
  EXPECT_TRUE(first.earlierCards().empty()) << "this run's cards are in the finished list";

  // The application starts again: the card is listed once, with both destinations.
  r.model.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  Model& m = r.make();
  m.start();
  ASSERT_TRUE(r.waitFor([&] { return !m.earlierCards().empty(); }));
  ASSERT_EQ(m.earlierCards().size(), 1u);
  const EarlierJob e = m.earlierCards()[0];
  EXPECT_EQ(e.name() + " " + e.cam + " " + e.color, "A001 A캠 green");
  EXPECT_EQ(e.roots.size(), 2u);

  // Its report: the clips as they lie on the first destination, verified twice in the database.
  ASSERT_TRUE(m.setReportCard(e.key));
  auto clips = m.reportClips();
  ASSERT_EQ(clips.size(), 2u);
  OpenedStore store = openStoreAt(r.db());
  ASSERT_TRUE(store);
  for (const auto& v : clipVerdicts(clips, m.reportCam(), *store, 2))
    EXPECT_EQ(v.verified, 2) << v.path << ": the key was rebuilt from the database";
}

TEST(ModelEarlier, ClipListFieldsWithCommasQuotesAndLineBreaks) {
  auto recs = parseCsv(
      "\xEF\xBB\xBF"
      "a,b\r\n\"x,1\",\"say \"\"hi\"\"\"\n\"two\nlines\",\n");
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[0], (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(recs[1], (std::vector<std::string>{"x,1", "say \"hi\""}));
  EXPECT_EQ(recs[2], (std::vector<std::string>{"two\nlines", ""}));
}

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
    writeFile(job.csv,
              "파일,목적지경로,분류뷰경로,종류,분류,세션,길이,해상도,fps,촬영시각,출처,크기,"
              "xxh64,사본\nCLIP/C0001.MP4," +
                  dest + ",,video,기타,S2,,,,,,100," + hash + ",2\n");
    auto report = earlierReport(job, store);
    ASSERT_TRUE(report);
    ASSERT_EQ(report->rows.size(), 1u);
    EXPECT_EQ(report->rows[0].mtimeNs, mtimeNs) << dest << " " << hash;
  }
}

}  // namespace
}  // namespace tolverdine
