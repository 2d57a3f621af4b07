// The hash lists a folder ends up with after runs cut short, names XML cannot carry and second
// copies, as `tolverdine verify` sees them.
#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "engine/base/text.h"
#include "engine/hashlist/mhl_history.h"

namespace tolverdine {
namespace {

std::string only(const std::string& pattern) {
  RunResult r = runProcess({"/bin/sh", "-c", "ls -d " + pattern}, {}).value_or(RunResult{});
  std::string p = r.out;
  while (!p.empty() && p.back() == '\n') p.pop_back();
  return p;
}

RunResult verifyAt(Cli& c, const std::string& root) { return c.run({root}, "verify"); }

bool has(const RunResult& r, const std::string& line) {
  return r.out.find(line + "\n") != std::string::npos;
}

TEST(HashLists, RerunAfterLostListsNamesEveryVerifiedFile) {
  Cli c;
  auto first = c.run({c.card, "--project", "봄", "--dest", c.d1, "--copies", "1"});
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  const std::string root = only("'" + c.d1 + "'/*_봄");
  ASSERT_FALSE(root.empty());
  // Killed after copying, before any list was written: the re-run copies nothing and must
  // still leave every verified file listed.
  ASSERT_EQ(sh("rm -rf '" + root + "/ascmhl'"), 0);
  EXPECT_NE(verifyAt(c, root).status, 0);
  auto again = c.run({c.card, "--project", "봄", "--dest", c.d1, "--copies", "1"});
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_NE(again.out.find("복사 0"), std::string::npos) << again.out;
  auto v = verifyAt(c, root);
  EXPECT_EQ(v.status, 0) << v.out;
  EXPECT_TRUE(has(v, "파일 3개, 문제 0개")) << v.out;
  // Nothing new on a third run: no generation that lists nothing.
  size_t gens = readMHLHistory(root).generations.size();
  EXPECT_EQ(c.run({c.card, "--project", "봄", "--dest", c.d1, "--copies", "1"}).status, 0);
  EXPECT_EQ(readMHLHistory(root).generations.size(), gens);
  EXPECT_EQ(readMHLHistory(root).files.size(), 3u);

  // The second copy lists what it copied on the target, and after a lost generation there, a
  // later second copy that copies nothing lists it again.
  const std::string second = c.d2 + "/" + lastComponent(root);
  auto mir = c.run({root, second}, "mirror");
  EXPECT_EQ(mir.status, 0) << mir.out << mir.err;
  auto v2 = verifyAt(c, second);
  EXPECT_EQ(v2.status, 0) << v2.out;
  EXPECT_TRUE(has(v2, "파일 3개, 문제 0개")) << v2.out;
  ASSERT_EQ(sh("rm -rf '" + second + "/ascmhl'"), 0);
  auto mir2 = c.run({root, second}, "mirror");
  EXPECT_EQ(mir2.status, 0) << mir2.out << mir2.err;
  EXPECT_NE(mir2.out.find("복사 0"), std::string::npos) << mir2.out;
  EXPECT_TRUE(has(verifyAt(c, second), "파일 3개, 문제 0개"));
}

TEST(HashLists, NamesXmlCannotCarryAreLeftOutAndSaid) {
  Cli c;
  writeFile(c.card + "/PRIVATE/M4ROOT/bad\x01name.BIN", "one");
  writeFile(c.card + "/PRIVATE/M4ROOT/raw\xFF.BIN", "two");
  auto r = c.run({c.card, "--project", "봄", "--dest", c.d1, "--dest", c.d2, "--copies", "2"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string line = "해시 목록에 넣지 못한 파일 2개";
  size_t at = r.out.find(line);
  EXPECT_NE(at, std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(line, at + 1), std::string::npos)
      << "said once per run, not per destination";
  EXPECT_EQ(r.out.find('\x01'), std::string::npos) << r.out;
  const std::string root = only("'" + c.d1 + "'/*_봄");
  ASSERT_FALSE(root.empty());
  for (const auto& g : readMHLHistory(root).generations) {
    std::string x = slurp(root + "/ascmhl/" + g);
    EXPECT_EQ(x.find("\xEF\xBF\xBD"), std::string::npos)
        << "no list names a file that is not there";
  }
  std::string json = slurp(only("'" + root + "'/_리포트/*_job.json"));
  EXPECT_NE(json.find("\"notInHashList\""), std::string::npos) << json;
  EXPECT_NE(json.find("bad\\u0001name.BIN\""), std::string::npos) << json;
  std::string pdf = only("'" + root + "'/_리포트/*_ingest.pdf");
  auto text = runProcess({"/bin/sh", "-c", "pdftotext -enc UTF-8 '" + pdf + "' -"}, {})
                  .value_or(RunResult{});
  EXPECT_NE(text.out.find("해시 목록에 넣지 못한 파일"), std::string::npos) << text.out;

  auto v = verifyAt(c, root);
  EXPECT_EQ(v.status, 0) << v.out;
  EXPECT_TRUE(has(v, "파일 3개, 문제 0개, 해시 목록에 없는 파일 2개")) << v.out;
  EXPECT_NE(v.out.find("해시 목록에 없음: "), std::string::npos) << v.out;
  EXPECT_NE(v.out.find("bad\\x01name.BIN"), std::string::npos) << v.out;
  EXPECT_NE(v.out.find("raw\\xFF.BIN"), std::string::npos) << v.out;
  EXPECT_EQ(v.out.find("\n없음: "), std::string::npos) << "not called missing\n" << v.out;
}

}  // namespace
}  // namespace tolverdine
