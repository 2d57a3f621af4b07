// The hash lists of runs cut short and of second copies, and `tolverdine verify` on a folder an
// ingest listed, then changed by hand. What each state is judged (hashes marked failed, moves,
// other tools' lists) is tested in the engine; here, that each is printed under its own label,
// escaped, and decides the exit code.
#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "engine/base/text.h"

namespace tolverdine {
namespace {

TEST(VerifyCommand, ListsAfterLostRunsAndEveryStateUnderItsLabel) {
  Cli c;
  const std::vector<std::string> ingest = {c.card, "--project", "p", "--dest",
                                           c.d1,   "--copies",  "1"};
  ASSERT_EQ(c.run(ingest).status, 0);
  const std::string root = only("'" + c.d1 + "'/*_p"), lists = root + "/ascmhl/";
  const std::string second = c.d2 + "/" + lastComponent(root);
  auto expectVerify = [&](const std::string& at, int code, const std::vector<std::string>& lines) {
    auto r = c.run({at}, "verify");
    EXPECT_EQ(r.status, code) << r.out;
    for (const auto& l : lines)
      EXPECT_NE(r.out.find(l + "\n"), std::string::npos) << l << "\n" << r.out;
    EXPECT_EQ(r.out.find_first_of("\r\x1B"), std::string::npos) << r.out;
  };
  // Killed after copying, before any list was written: the re-run copies nothing and must still
  // leave every verified file listed.
  ASSERT_EQ(sh("rm -rf '" + lists + "'"), 0);
  expectVerify(root, 1, {});
  EXPECT_EQ(c.run(ingest).status, 0);
  expectVerify(root, 0, {"파일 3개, 문제 0개"});
  // The second copy lists what it copied, and after a lost generation there, a later second copy
  // that copies nothing lists it again.
  EXPECT_EQ(c.run({root, second}, "mirror").status, 0);
  expectVerify(second, 0, {"파일 3개, 문제 0개"});
  ASSERT_EQ(sh("rm -rf '" + second + "/ascmhl'"), 0);
  EXPECT_EQ(c.run({root, second}, "mirror").status, 0);
  expectVerify(second, 0, {"파일 3개, 문제 0개"});

  const std::string gen = lastComponent(only("'" + lists + "'0001_*.mhl"));
  auto copyOf = [&](const char* name) {
    return only("\"$(find '" + root + "' -name " + name + ")\"").substr(root.size() + 1);
  };
  const std::string one = copyOf("C0001.MP4"), two = copyOf("C0002.MP4");
  // A file no list names does not fail the folder, and its name reaches the terminal escaped.
  writeFile(root + "/evil\r\x1B[2K.mov", "x");
  expectVerify(root, 0,
               {"체인 정상: " + gen, "정상: " + one, "해시 목록에 없음: evil\\r\\x1B[2K.mov",
                "파일 3개, 문제 0개, 해시 목록에 없는 파일 1개"});
  writeFile(root + "/" + one, "changed");
  ::unlink((root + "/" + two).c_str());
  expectVerify(root, 1,
               {"변경됨: " + one, "\n없음: " + two, "문제 2개, 해시 목록에 없는 파일 1개"});

  // The lists themselves: a generation changed after the chain named it, one it does not name; the
  // chain gone; no lists at all.
  ASSERT_EQ(
      sh("cp '" + lists + gen + "' '" + lists + "0009_x.mhl' && echo >> '" + lists + gen + "'"), 0);
  expectVerify(root, 1, {"체인 불일치: " + gen, "체인에 없음: 0009_x.mhl"});
  ::unlink((lists + "ascmhl_chain.xml").c_str());
  expectVerify(root, 1, {"손상된 해시 목록: ascmhl_chain.xml"});
  expectVerify(c.d1, 1, {"해시 목록 없음: " + c.d1 + "/ascmhl"});
}

// A copy changed in place with its size and time kept looks whole to every look at the drive; only
// reading it finds the change, and from then on it must not count toward the card's verdict.
TEST(VerifyCommand, ACopyFoundChangedStopsCountingUntilCopiedAgain) {
  Cli c;
  const std::vector<std::string> ingest = {c.card, "--project", "p", "--dest",
                                           c.d1,   "--dest",    c.d2};
  ASSERT_EQ(c.run(ingest).status, 0);
  const std::string root = only("'" + c.d2 + "'/*_p");
  const std::string cardFile = c.card + "/PRIVATE/M4ROOT/CLIP/C0002.MP4";
  const std::string copy = only("\"$(find '" + root + "' -name C0002.MP4)\"");
  ASSERT_EQ(
      sh("printf X | dd of='" + copy + "' bs=1 seek=100 conv=notrunc 2>/dev/null && touch -r '" +
         cardFile + "' '" + copy + "'"),
      0);
  ASSERT_EQ(c.run({c.card}, "status").status, 0) << "the change must be invisible without a read";
  EXPECT_EQ(c.run({root}, "verify").status, 1);
  auto status = c.run({c.card}, "status");
  EXPECT_NE(status.status, 0) << status.out;
  EXPECT_NE(status.out.find("C0002.MP4"), std::string::npos) << status.out;
  // The next run overwrites nothing: the changed file stays, and the card is not green. Once the
  // changed file is taken away, the run copies it again.
  auto again = c.run(ingest);
  EXPECT_EQ(again.status, 2) << again.out;
  EXPECT_NE(again.out.find("덮어쓰지 않음"), std::string::npos) << again.out;
  ASSERT_EQ(::unlink(copy.c_str()), 0);
  ASSERT_EQ(c.run(ingest).status, 0);
  EXPECT_EQ(sh("cmp -s '" + cardFile + "' '" + copy + "'"), 0);
  EXPECT_EQ(c.run({c.card}, "status").status, 0);
}

}  // namespace
}  // namespace tolverdine
