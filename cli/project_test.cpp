#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "engine/project/project_file.h"

namespace tolverdine {
namespace {

TEST(ProjectCommand, ShowsOrRefusesAndDiagnosticsKeepAFile) {
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
  // Names from the file reach the terminal escaped.
  for (const char* line : {"프로젝트: 봄\n", "  1. 슬레이트 — 2초 이하\n",
                           "목적지:\n  /Volumes/SSD1\n", "  \\x1B]0;pwned\\x07\\r → B캠\n"})
    EXPECT_TRUE(has(shown, line)) << line << shown.out;
  writeFile(bad, "{\"schema\": \"other/1\"}");
  auto refused = c.run({"show", bad}, "project");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err.rfind("불러오기 실패: ", 0), 0u) << refused.err;
  EXPECT_EQ(c.run({"show"}, "project").status, 64);

  // The diagnostics archive replaces an existing file only when asked.
  auto diagnostics = [&](std::vector<std::string> extra) {
    return c.run(extra, "diagnostics", c.dir.path);
  };
  writeFile(c.dir.path + "/mine.zip", "keep");
  EXPECT_EQ(diagnostics({"mine.zip"}).status, 1);
  EXPECT_EQ(slurp(c.dir.path + "/mine.zip"), "keep");
  EXPECT_EQ(diagnostics({"--replace", "mine.zip"}).status, 0);
  EXPECT_EQ(slurp(c.dir.path + "/mine.zip").substr(0, 2), "PK");
  EXPECT_FALSE(exists(c.db));
}

}  // namespace
}  // namespace tolverdine
