// The hash lists a folder ends up with after runs cut short, names XML cannot carry and second
// copies, as `tolverdine verify` sees them.
#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "engine/base/text.h"
#include "engine/hashlist/mhl_history.h"

namespace tolverdine {
namespace {

TEST(HashLists, RerunAfterLostListsNamesEveryVerifiedFile) {
  Cli c;
  const std::vector<std::string> ingest = {c.card, "--project", "봄", "--dest",
                                           c.d1,   "--copies",  "1"};
  ASSERT_EQ(c.run(ingest).status, 0);
  const std::string root = only("'" + c.d1 + "'/*_봄"), second = c.d2 + "/" + lastComponent(root);
  auto listsAll = [&](const std::string& at) {
    auto v = c.run({at}, "verify");
    EXPECT_EQ(v.status, 0) << v.out;
    EXPECT_TRUE(has(v, "파일 3개, 문제 0개\n")) << v.out;
  };
  // Killed after copying, before any list was written: the re-run copies nothing and must
  // still leave every verified file listed.
  ASSERT_EQ(sh("rm -rf '" + root + "/ascmhl'"), 0);
  EXPECT_NE(c.run({root}, "verify").status, 0);
  auto again = c.run(ingest);
  EXPECT_EQ(again.status, 0);
  EXPECT_TRUE(has(again, "복사 0")) << again.out;
  listsAll(root);
  // Nothing new on a third run: no generation that lists nothing.
  const size_t gens = readMHLHistory(root).generations.size();
  EXPECT_EQ(c.run(ingest).status, 0);
  EXPECT_EQ(readMHLHistory(root).generations.size(), gens);

  // The second copy lists what it copied, and after a lost generation there, a later second copy
  // that copies nothing lists it again.
  EXPECT_EQ(c.run({root, second}, "mirror").status, 0);
  listsAll(second);
  ASSERT_EQ(sh("rm -rf '" + second + "/ascmhl'"), 0);
  auto mir = c.run({root, second}, "mirror");
  EXPECT_EQ(mir.status, 0);
  EXPECT_TRUE(has(mir, "복사 0")) << mir.out;
  listsAll(second);
}

TEST(HashLists, NamesXmlCannotCarryAreLeftOutAndSaid) {
  Cli c;
  writeFile(c.card + "/PRIVATE/M4ROOT/bad\x01name.BIN", "one");
  writeFile(c.card + "/PRIVATE/M4ROOT/raw\xFF.BIN", "two");
  auto r = c.run({c.card, "--project", "봄", "--dest", c.d1, "--dest", c.d2, "--copies", "2"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string line = "해시 목록에 넣지 못한 파일 2개";
  EXPECT_TRUE(has(r, line)) << r.out;
  EXPECT_EQ(r.out.find(line), r.out.rfind(line)) << "said once per run, not per destination";
  EXPECT_FALSE(has(r, "\x01")) << r.out;
  // The lists stay whole and name no file that is not there: verify finds both unlisted.
  const std::string root = only("'" + c.d1 + "'/*_봄");
  EXPECT_NE(slurp(only("'" + root + "'/_리포트/*_job.json")).find("bad\\u0001name.BIN\""),
            std::string::npos);
  auto v = c.run({root}, "verify");
  EXPECT_EQ(v.status, 0) << v.out;
  EXPECT_TRUE(has(v, "파일 3개, 문제 0개, 해시 목록에 없는 파일 2개")) << v.out;
}

}  // namespace
}  // namespace tolverdine
