#include "engine/reports/reports.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "engine/base/files.h"
#include "engine/base/names.h"
#include "engine/copy/ingest_test_util.h"
#include "engine/hashlist/mhl_folder.h"
#include "engine/reports/earlier_jobs.h"
#include "engine/store/store.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

Row row(const std::string& rel, Kind kind, int64_t size) {
  Row r;
  r.rel = rel;
  r.kind = kind;
  r.size = size;
  r.mtimeNs = 1000;
  r.cls = "인터뷰";
  return r;
}

const std::time_t kNow = 1772703502;

TEST(Reports, TextsNamesAndFiles) {
  ScopedEnv utc{"TZ", "UTC"};
  TempDir t;
  std::string root = t.path + "/20260305_P";
  Store store(t.path + "/db.sqlite");
  // The rows below name no files on disk: count them as the database holds them.
  store.setCopyJudge([](const RecordedCopy&) { return CopyPlace::good; });
  Row a = row("A001,\"x\".MOV", Kind::video, 100);
  a.dest = "01_원본/A/인터뷰/A001,\"x\".MOV";
  a.view = "v/a";
  a.session = "S1";
  a.meta = {1772703502.9, 12.345, 0, "3840x2160", 25};
  Row b = row("B002.MOV", Kind::audio, 7);
  b.tFromMtime = true;
  b.meta.fps = 29.97;
  Row c = row("line\nfeed.txt", Kind::etc, 3);  // neither hash of this run nor of the database
  c.tFromMtime = true;
  std::vector<Row> rows = {a, b, c};

  IngestResult res;
  res.copied = 1;
  res.color = CardColor::yellow;
  res.underCopied = 2;
  res.failed = {{"01/x.MOV", root, "쓰기 실패"}};
  res.lostDests = {"/media/b/20260305_P"};
  res.verified[root] = {Verified{a, "00000000000000aa", std::nullopt}};
  res.verified["/other"] = {Verified{b, "ffffffffffffffff", std::nullopt}};
  store.record(ingestKey("A", a), root, "x", 100, "1111111111111111", CopyState::verified, 1);
  store.record(ingestKey("A", a), "/other", "x", 100, "2222222222222222", CopyState::verified, 1);
  store.record(ingestKey("A", b), root, "y", 7, "bbbbbbbbbbbbbbbb", CopyState::verified, 1);
  store.record(ingestKey("A", c), root, "z", 3, "cccccccccccccccc", CopyState::copied, 1);

  EXPECT_EQ(
      clipsCsv(root, rows, res, "A", store),
      "\xEF\xBB\xBF"
      "파일,목적지경로,분류뷰경로,종류,분류,세션,길이(초),해상도,fps,촬영시각,촬영시각출처,크기(바이트),xxh64,검증사본수\n"
      "\"A001,\"\"x\"\".MOV\",\"01_원본/A/인터뷰/A001,\"\"x\"\".MOV\",v/a,video,인터뷰,S1,12.35,3840x2160,25.0,"
      "2026-03-05 09:38:22,촬영시각,100,00000000000000aa,2\n"
      "B002.MOV,,,audio,인터뷰,,,,29.97,,수정시각,7,bbbbbbbbbbbbbbbb,1\n"
      "\"line\nfeed.txt\",,,etc,인터뷰,,,,,,,3,,0\n");
  // The run's copies listed out of row order (a later file verified first) are each still met.
  IngestResult shuffled;
  shuffled.verified[root] = {Verified{b, "000000000000000b", {}},
                             Verified{a, "000000000000000a", {}}};
  EXPECT_EQ(hashesOn(root, rows, shuffled, "A", store),
            (std::vector<std::optional<std::string>>{"000000000000000a", "000000000000000b",
                                                     std::nullopt}));

  auto j = nlohmann::json::parse(
      jobJson(root, rows, res, "A", "/media/card", {{"project", "P"}, {"color", "x"}}, kNow));
  EXPECT_EQ(j["at"], "2026-03-05T09:38:22Z");
  EXPECT_EQ(j["color"], "yellow");  // the run's fields win over info
  EXPECT_EQ(j["noCaptureTime"], nlohmann::json::array({"B002.MOV", "line\nfeed.txt"}));
  EXPECT_EQ(j["failed"][0],
            nlohmann::json({{"file", "01/x.MOV"}, {"dest", root}, {"why", "쓰기 실패"}}));
  EXPECT_FALSE(j.contains("stopped"));
  res.stopped = IngestStop::cardRemoved();
  auto s = nlohmann::json::parse(jobJson(root, rows, res, "A", "/m", {}, kNow));
  EXPECT_EQ(s["stopped"], res.stopped->description());

  // Files: a second run within the same second keeps the first one's reports and takes the next
  // name; a leftover of either kind holds the name.
  const std::string dir = root + "/_리포트/";
  writeReports(root, rows, res, "A", "/m", store, NameSet::ko(), {}, kNow);
  writeReports(root, {a}, res, "A", "/m", store, NameSet::ko(), {}, kNow);
  EXPECT_EQ(nlohmann::json::parse(slurp(dir + "A_20260305-093822_job.json"))["files"], rows.size());
  EXPECT_EQ(nlohmann::json::parse(slurp(dir + "A_20260305-093822-2_job.json"))["files"], 1);
  ::unlink((dir + "A_20260305-093822-2_job.json").c_str());
  writeReports(root, {a}, res, "A", "/m", store, NameSet::ko(), {}, kNow);
  EXPECT_EQ(listFolder(root + "/_리포트").size(), 5u);  // -3: -2 still had its clip list

  // Runs that end in one second at once (two cameras' jobs of the application, or a re-run):
  // each takes a name of its own, and the lock file is gone after.
  std::vector<std::thread> runs;
  for (int i = 0; i < 6; ++i)
    runs.emplace_back([&] {
      Store own(t.path + "/db.sqlite");
      own.setCopyJudge([](const RecordedCopy&) { return CopyPlace::good; });
      writeReports(root, rows, res, "B", "/m", own, NameSet::ko(), {}, kNow);
    });
  for (auto& r : runs) r.join();
  EXPECT_EQ(listFolder(root + "/_리포트").size(), 17u);

  // Into another project: a decomposed camera label, a long clip name, marked up, not UTF-8.
  root = t.path + "/P";
  res = {};
  const std::string nfd = "\xE1\x84\x8F\xE1\x85\xA1";  // 카 as jamo
  rows = {row(std::string(4000, 'r') + "&<>\"\xFF.MOV", Kind::video, 1)};
  writeReports(root, rows, res, nfd, "/m", store, NameSet::ko(), {}, kNow);
  auto files = listFolder(root + "/_리포트");
  ASSERT_EQ(files.size(), 2u);
  for (auto& f : files) EXPECT_EQ(f.substr(0, 4), "카_") << "composed camera label in the name";
  std::string base = root + "/_리포트/" + files[0].substr(0, files[0].rfind('_'));
  EXPECT_TRUE(
      contains(slurp(base + "_clips.csv"), "\"" + std::string(4000, 'r') + "&<>\"\"\xFF.MOV\""));
  // Bytes that are not UTF-8 do not cost the summary.
  EXPECT_EQ(nlohmann::json::parse(slurp(base + "_job.json"))["files"], 1);

  // A camera label too long for a file name, and a read-only reports folder: WriteFail, no JSON.
  EXPECT_THROW(
      writeReports(root, rows, res, std::string(300, 'c'), "/m", store, NameSet::ko(), {}, kNow),
      WriteFail);
  LoopMount m(8);
  SKIP_UNLESS_MOUNTED(m);
  ASSERT_TRUE(mkdirs(m.path() + "/P/_리포트"));
  m.pull();
  ASSERT_TRUE(m.remount("ro"));
  auto f = testing::thrown<WriteFail>(
      [&] { writeReports(m.path() + "/P", rows, res, "A", "/m", store, NameSet::ko(), {}, kNow); });
  ASSERT_TRUE(f) << "read-only folder must fail";
  EXPECT_EQ(f->err, EROFS);
  EXPECT_TRUE(contains(f->path, "_clips.csv")) << f->path;
  EXPECT_TRUE(listFolder(m.path() + "/P/_리포트").empty());
}

void run(const std::string& root, const std::string& base, const std::string& json) {
  putFile(root + "/_리포트/" + base + "_job.json", json);
  writeFile(root + "/_리포트/" + base + "_clips.csv", "\xEF\xBB\xBF파일\n");
}

std::string job(const std::string& project, const std::string& cam, const std::string& src,
                const std::string& at, const std::string& color = "green") {
  return R"({"project":")" + project + R"(","cam":")" + cam + R"(","src":")" + src + R"(","at":")" +
         at + R"(","color":")" + color + R"(","files":3,"failed":[]})";
}

TEST(EarlierJobs, NewestFirstOfTheProjectOnlyMergedAcrossDestinationsAndBounded) {
  TempDir t;
  const std::string d1 = t.path + "/d1", d2 = t.path + "/d2";
  const std::string p1 = d1 + "/20250101_데모", p2 = d2 + "/20250101_데모",
                    p3 = d1 + "/20250102_데모";
  // One run on both destinations, a second apart; an older run; a newer one on the next day.
  run(p1, "A캠_20250101-100000", job("데모", "A캠", "/media/A001", "2025-01-01T01:00:00Z"));
  run(p2, "A캠_20250101-100001", job("데모", "A캠", "/media/A001", "2025-01-01T01:00:01Z"));
  run(p1, "A캠_20250101-090000",
      job("데모", "A캠", "/media/A000", "2025-01-01T00:00:00Z", "yellow"));
  run(p3, "B캠_20250102-100000", job("데모", "B캠", "/media/B001", "2025-01-02T01:00:00Z"));
  // Another project, a folder that only ends like this one, a file that is not a job summary.
  run(d1 + "/20250101_데모2", "A캠_20250101-110000",
      job("데모2", "A캠", "/media/X", "2025-01-01T02:00:00Z"));
  run(d1 + "/x20250101_데모", "A캠_20250101-110000",
      job("데모", "A캠", "/media/Y", "2025-01-01T02:00:00Z"));
  run(p1, "A캠_20250101-120000", "not json");
  // A summary whose clip list is gone has no report to open.
  putFile(p1 + "/_리포트/A캠_20250101-130000_job.json",
          job("데모", "A캠", "/media/Z", "2025-01-01T04:00:00Z"));

  auto all = earlierJobs({d1, d2}, "데모", {"_리포트", "_REPORTS"}, 50);
  std::vector<std::string> seen;
  for (const auto& j : all) seen.push_back(j.name() + " " + j.color);
  ASSERT_EQ(seen, (std::vector<std::string>{"B001 green", "A001 green", "A000 yellow"}));
  EXPECT_EQ(all[1].roots, (std::vector<std::string>{p1, p2}));
  EXPECT_EQ(all[1].csv, p1 + "/_리포트/A캠_20250101-100000_clips.csv");

  auto two = earlierJobs({d1, d2}, "데모", {"_리포트"}, 2);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[1].roots.size(), 2u) << "a run's other destination is merged in past the bound too";
  EXPECT_TRUE(earlierJobs({d1, d2}, "", {"_리포트"}, 50).empty());
}

}  // namespace
}  // namespace tolverdine
