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
  const std::string good = c.dir.path + "/봄.tolverdine.json", bad = c.dir.path + "/bad.json";
  writeProjectFile(good, f);
  auto shown = c.run({"show", good}, "project");
  EXPECT_EQ(shown.status, 0) << shown.err;
  for (const char* line :
       {"프로젝트: 봄\n", "날짜: 없음\n", "  1. 슬레이트 — 2초 이하\n", "  ILME-FX3#1 → A캠\n",
        "목적지:\n  /Volumes/SSD1\n", "2차 목적지: 없음\n", "필요한 사본: 2개\n",
        "  \\x1B]0;pwned\\x07\\r → B캠\n"})
    EXPECT_TRUE(has(shown, line)) << line << shown.out;
  writeFile(bad, "{\"schema\": \"other/1\"}");
  auto refused = c.run({"show", bad}, "project");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "불러오기 실패: TOLVERDINE 프로젝트 파일이 아닙니다\n");
  EXPECT_EQ(c.run({"show"}, "project").status, 64);

  for (const auto& [args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--project", "x/../../../tmp/p"},
            "프로젝트 이름으로 쓸 수 없습니다: \"/\" 를 쓸 수 없습니다"},
           {{"--project", "봄", "--cam", ".."}, "카메라 이름으로 쓸 수 없습니다"}}) {
    std::vector<std::string> all = {c.card, "--dest", c.d1};
    all.insert(all.end(), args.begin(), args.end());
    auto r = c.run(all);
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
  }
  EXPECT_FALSE(exists(c.dir.path + "/home"));
  EXPECT_EQ(shellOutput("ls -A '" + c.d1 + "'").out, "");
}

TEST(DiagnosticsCommand, NextFreeNameAndAnExistingFileIsReplacedOnlyWhenAsked) {
  Cli c;
  const std::string work = c.dir.path + "/work";
  mkdirs(work);
  auto run = [&](std::vector<std::string> extra) { return c.runIn(work, "diagnostics", extra); };
  const std::string name = diagnosticsFileName(std::time(nullptr));
  EXPECT_EQ(run({}).status, 0);
  EXPECT_EQ(run({}).status, 0);
  // A second export the same day takes the next free name (unless midnight fell between).
  EXPECT_TRUE(exists(work + "/" + name.substr(0, name.size() - 4) + "-2.zip") ||
              diagnosticsFileName(std::time(nullptr)) != name);
  writeFile(work + "/mine.zip", "keep");
  auto refused = run({"mine.zip"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("이미 있는 파일입니다: mine.zip"), std::string::npos) << refused.err;
  EXPECT_EQ(slurp(work + "/mine.zip"), "keep");
  EXPECT_EQ(run({"--replace", "mine.zip"}).status, 0);
  EXPECT_EQ(slurp(work + "/mine.zip").substr(0, 2), "PK");
  EXPECT_FALSE(exists(c.db));
}

}  // namespace
}  // namespace tolverdine
