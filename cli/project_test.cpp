#include <gtest/gtest.h>

#include <ctime>

#include "cli/cli_test_util.h"
#include "engine/project/project_file.h"
#include "engine/reports/diagnostics.h"

namespace tolverdine {
namespace {

TEST(ProjectCommand, ShowsOrRefusesAndIngestRefusesUnsafeNames) {
  Cli c;
  ProjectFile f;
  f.name = "봄";
  f.preset = "default";
  f.rules = {Rule{"슬레이트", 2, {}, {}, {}}};
  f.cameras = {{"ILME-FX3#1", "A캠"}, {"\x1b]0;pwned\x07\r", "B캠"}};
  f.destinations = {"/Volumes/SSD1"};
  std::string good = c.dir.path + "/봄.tolverdine.json", bad = c.dir.path + "/bad.json";
  writeProjectFile(good, f);
  auto shown = c.run({"show", good}, "project");
  EXPECT_EQ(shown.status, 0) << shown.err;
  for (const char* line :
       {"프로젝트: 봄\n", "날짜: 없음\n", "  1. 슬레이트 — 2초 이하\n", "  ILME-FX3#1 → A캠\n",
        "목적지:\n  /Volumes/SSD1\n", "2차 목적지: 없음\n", "필요한 사본: 2개\n",
        "  \\x1B]0;pwned\\x07\\r → B캠\n"})
    EXPECT_NE(shown.out.find(line), std::string::npos) << line << shown.out;
  writeFile(bad, "{\"schema\": \"other/1\"}");
  auto refused = c.run({"show", bad}, "project");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "불러오기 실패: TOLVERDINE 프로젝트 파일이 아닙니다\n");
  EXPECT_EQ(c.run({"show"}, "project").status, 64);

  auto up = c.run({c.card, "--project", "x/../../../tmp/p", "--dest", c.d1});
  EXPECT_EQ(up.status, 64);
  EXPECT_NE(up.err.find("프로젝트 이름으로 쓸 수 없습니다: \"/\" 를 쓸 수 없습니다"),
            std::string::npos)
      << up.err;
  auto cam = c.run({c.card, "--project", "봄", "--dest", c.d1, "--cam", ".."});
  EXPECT_EQ(cam.status, 64);
  EXPECT_NE(cam.err.find("카메라 이름으로 쓸 수 없습니다"), std::string::npos) << cam.err;
  EXPECT_FALSE(exists(c.dir.path + "/home"));
  EXPECT_FALSE(exists(c.d1 + "/_리포트"));
}

TEST(DiagnosticsCommand, DefaultNamesNeverCollideAndAnExistingFileIsReplacedOnlyWhenAsked) {
  Cli c;
  std::string work = c.dir.path + "/work";
  mkdirs(work);
  auto run = [&](std::vector<std::string> extra = {}) {
    RunOptions o;
    o.timeout = std::chrono::milliseconds(60000);
    o.captureStderr = true;
    std::vector<std::string> argv = {
        "/usr/bin/env",    "-C",         work, "HOME=" + c.dir.path + "/home",
        TOLVERDINE_BINARY, "diagnostics"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return *runProcess(argv, o);
  };
  std::time_t before = std::time(nullptr);
  auto first = run();
  EXPECT_EQ(first.status, 0) << first.err;
  std::string name = diagnosticsFileName(before);
  EXPECT_TRUE(exists(work + "/" + name) || diagnosticsFileName(std::time(nullptr)) != name)
      << first.out;
  // A second export the same day takes the next free name.
  auto again = run();
  EXPECT_EQ(again.status, 0) << again.err;
  std::string second = name.substr(0, name.size() - 4) + "-2.zip";
  EXPECT_TRUE(exists(work + "/" + second) || diagnosticsFileName(std::time(nullptr)) != name)
      << again.out;
  // A named file that exists is kept unless the user says to replace it.
  writeFile(work + "/mine.zip", "keep");
  auto refused = run({"mine.zip"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("이미 있는 파일입니다: mine.zip"), std::string::npos) << refused.err;
  std::string kept;
  ASSERT_TRUE(readFile(work + "/mine.zip", &kept));
  EXPECT_EQ(kept, "keep");
  auto replaced = run({"--replace", "mine.zip"});
  EXPECT_EQ(replaced.status, 0) << replaced.err;
  ASSERT_TRUE(readFile(work + "/mine.zip", &kept));
  EXPECT_EQ(kept.substr(0, 2), "PK");
  EXPECT_FALSE(exists(c.dir.path + "/home/Library/Application Support/TOLVERDINE/ingest.sqlite"));
}

}  // namespace
}  // namespace tolverdine
