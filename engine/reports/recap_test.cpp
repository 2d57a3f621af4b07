#include "engine/reports/recap.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "engine/base/files.h"
#include "engine/store/store.h"
#include "os/log_line.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

Row clip(const std::string& rel, Kind k, std::optional<std::string> dest) {
  Row r;
  r.src = "/card/" + rel;
  r.rel = rel;
  r.kind = k;
  r.size = 100;
  r.dest = std::move(dest);
  return r;
}

TEST(Recap, ManifestTakesVerifiedClipsFromFirstSurvivingDestination) {
  TempDir t;
  Store store(t.path + "/s.sqlite");
  std::vector<Row> rows = {
      clip("A.MOV", Kind::video, "A/A.MOV"), clip("X.XML", Kind::etc, "A/X.XML"),
      clip("B.WAV", Kind::audio, "A/B.WAV"), clip("C.JPG", Kind::photo, "A/C.JPG")};
  rows[0].meta.t = 1773475509;  // 2026-03-14T08:05:09Z
  rows[0].meta.dur = 12.5;
  const std::string d1 = t.path + "/d1", d2 = t.path + "/d2";
  for (const Row& r : rows)
    store.record(ingestKey("CAM", r), d2, *r.dest, r.size, "00", CopyState::verified, 1);
  store.record(ingestKey("CAM", rows[0]), d1, *rows[0].dest, 100, "00", CopyState::verified, 1);
  store.record(ingestKey("CAM", rows[2]), d1, *rows[2].dest, 100, std::nullopt, CopyState::failed,
               1);

  IngestResult res;
  res.color = CardColor::yellow;
  EXPECT_FALSE(recapManifest(rows, res, "CAM", CameraRole::none, "P", {d1}, store, "ID", 0));
  res.color = CardColor::green;

  // First destination d1: only A is verified there; the etc row never appears.
  auto m =
      recapManifest(rows, res, "CAM", CameraRole::fixed, "P", {d1, d2}, store, "ID", 1773475509);
  ASSERT_TRUE(m);
  ASSERT_EQ(m->clips.size(), 1u);
  auto j = nlohmann::json::parse(recapJson(*m));
  EXPECT_EQ(j["finishedAt"], "2026-03-14T08:05:09Z");
  EXPECT_EQ(j["clips"][0]["path"], d1 + "/A/A.MOV");
  EXPECT_EQ(j["clips"][0]["cameraRole"], "fixed");

  // Without d1, d2 is first: photo and audio listed.
  auto m2 = recapManifest(rows, res, "CAM", CameraRole::none, "P", {d2}, store, "ID", 0);
  ASSERT_TRUE(m2);
  EXPECT_EQ(m2->clips.size(), 3u);
}

TEST(Recap, LogLinesAppendFromManyThreads) {
  TempDir t;
  const std::string p = t.path + "/app.log";
  writeFile(p, "first\n");
  std::vector<std::thread> ts;
  for (int i = 0; i < 8; ++i)
    ts.emplace_back([&] {
      for (int k = 0; k < 50; ++k) appendLogLine(p, std::string(200, 'x'));
    });
  for (auto& th : ts) th.join();
  std::string s = slurp(p);
  EXPECT_EQ(s.rfind("first\n", 0), 0u);
  EXPECT_EQ(s.size(), 6u + 400u * 201u);
  EXPECT_FALSE(appendLogLine(t.path + "/missing/app.log", "x"));
}

}  // namespace
}  // namespace tolverdine
