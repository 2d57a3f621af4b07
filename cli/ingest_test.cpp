#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli_test_util.h"

namespace tolverdine {
namespace {

TEST(IngestCommand, ExitStatusIsTheCardColour) {
  Cli c;
  // Usage errors name what is wrong and touch nothing.
  const std::vector<std::string> base = {c.card, "--project", "p", "--dest", c.d1};
  for (const auto& [args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{c.card, "--project", "p"}, "오류 — --dest 가 필요합니다"},
           {{c.card, "--dest", c.d1}, "오류 — --project 가 필요합니다"},
           {{"--project", "p", "--dest", c.d1}, "오류 — 카드 폴더를 주세요"},
           {{"--copies", "0"}, "오류 — --copies 는 양의 정수여야 합니다: 0"},
           {{"--verify", "quick"},
            "오류 — --verify 는 fast, standard, paranoid 중 하나입니다: quick"},
           {{"--storage", "APFS"}, "오류 — --storage 는 split, mirror, auto 중 하나입니다: APFS"},
           {{"--preset", "없는것"}, "오류 — 모르는 프리셋: 없는것 (있는 프리셋: "},
           {{"--logo", c.dir.path + "/no.png"},
            "오류 — --logo 그림 파일이 없습니다: " + c.dir.path + "/no.png"},
           {{"--project", "x/../p"}, "프로젝트 이름으로 쓸 수 없습니다: "},
           {{"--cam", ".."}, "카메라 이름으로 쓸 수 없습니다: "}}) {
    std::vector<std::string> all = args;  // an option alone is tried on an otherwise good call
    if (args[0].starts_with("--") && args.size() == 2)
      all.insert(all.begin(), base.begin(), base.end());
    auto r = c.run(all);
    EXPECT_EQ(r.status, 64) << says;
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
  }
  EXPECT_FALSE(exists(c.dir.path + "/home"));

  // A card that is not there, or is a file, is named as such by every command that reads a card,
  // and nothing is written for it.
  writeFile(c.dir.path + "/card.img", "x");
  for (const auto& [card, says] : std::vector<std::pair<std::string, std::string>>{
           {c.dir.path + "/nocard", "카드 폴더가 없습니다: "},
           {c.dir.path + "/card.img", "카드는 카드가 연결된 폴더여야 합니다 (파일임): "}}) {
    auto r = c.run({card, "--project", "p", "--dest", c.d1});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, says + card + "\n");
    for (const char* cmd : {"identify", "tree", "stats", "status", "twin"})
      EXPECT_EQ(c.run({card}, cmd).err, says + card + "\n") << cmd;
  }
  EXPECT_EQ(shellOutput("ls -A '" + c.d1 + "'").out, "")
      << "no project folder for a card never read";

  // The exit code is the card's colour. A green card hands its manifest to the user's command; a
  // yellow one (a third copy asked for) does not.
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), {c.card, "--project", "봄", "--dest", c.d1, "--dest", c.d2});
    return c.run(more);
  };
  auto green = with({"--recap", "echo made"});
  EXPECT_EQ(green.status, 0) << green.out;
  EXPECT_TRUE(has(green, "echo made")) << green.out;
  auto yellow = with({"--copies", "3", "--recap", "echo made"});
  EXPECT_EQ(yellow.status, 1) << yellow.out;
  EXPECT_FALSE(has(yellow, "echo made")) << yellow.out;
}

TEST(IngestCommand, CardListedOnlyInPartIsNeverGreen) {
  Cli c;
  const std::string folder = c.card + "/DCIM/100MSDCF";
  mkdirs(folder);
  writePattern(folder + "/DSC00001.JPG", 1000, 4);
  // Root reads every folder; the command then runs as nobody, for whom the mode holds.
  c.asNobody = ::geteuid() == 0;
  ASSERT_EQ(sh("chmod -R a+rwX '" + c.dir.path + "' '" + c.one.path + "'"), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0), 0);
  auto r = c.run({c.card, "--project", "p", "--dest", c.d1, "--copies", "1"});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  // The same partial listing again is still not a backed-up card.
  auto status = c.run({c.card, "--copies", "1"}, "status");
  EXPECT_EQ(status.status, 1) << status.out;
  EXPECT_TRUE(has(status, "카드를 모두 읽지 못했습니다 — 포맷하지 마세요")) << status.out;
  ::chmod(folder.c_str(), 0755);
}

}  // namespace
}  // namespace tolverdine
