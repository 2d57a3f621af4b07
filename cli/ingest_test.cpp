#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/cli_test_util.h"
#include "cli/progress_bar.h"
#include "engine/base/text.h"
#include "engine/copy/copy.h"

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
           {{"--copies", "1.5"}, "정수여야 합니다: 1.5"},
           {{"--verify", "quick"},
            "오류 — --verify 는 fast, standard, paranoid 중 하나입니다: quick"},
           {{"--storage", "APFS"}, "오류 — --storage 는 split, mirror, auto 중 하나입니다: APFS"},
           {{"--preset", "없는것"}, "오류 — 모르는 프리셋: 없는것 (있는 프리셋: "},
           {{"--logo", c.dir.path + "/no.png"},
            "오류 — --logo 그림 파일이 없습니다: " + c.dir.path + "/no.png"}}) {
    std::vector<std::string> all = args;  // an option alone is tried on an otherwise good call
    if (args[0].starts_with("--") && args[0] != "--project")
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
    for (const char* cmd : {"identify", "tree", "stats", "status", "twin"}) {
      auto other = c.run({card}, cmd);
      EXPECT_NE(other.status, 0) << cmd;
      EXPECT_EQ(other.err, says + card + "\n") << cmd;
    }
    auto verify = c.run({card}, "verify");
    EXPECT_EQ(verify.status, 1);
    EXPECT_NE(verify.err.find(card), std::string::npos) << verify.err;
  }
  EXPECT_EQ(shellOutput("ls -A '" + c.d1 + "'").out, "")
      << "no project folder for a card never read";

  // The exit code is the card's colour; the summary lines are the engine's (tested there).
  const std::vector<std::string> run = {c.card, "--project", "봄", "--dest", c.d1, "--dest", c.d2};
  auto with = [&](std::vector<std::string> more) {
    more.insert(more.begin(), run.begin(), run.end());
    return c.run(more);
  };
  auto green = with({"--copies", "2"});
  EXPECT_EQ(green.status, 0) << green.out << green.err;
  EXPECT_TRUE(has(green, "🟢 복사 3 · 기존 0")) << green.out;
  // A green card hands its manifest to the user's command; a yellow one (a third copy asked for,
  // nothing copied again) does not.
  EXPECT_TRUE(has(with({"--recap", "echo made"}), "리캡 명령 시작: echo made "));
  auto yellow = with({"--copies", "3", "--recap", "echo x"});
  EXPECT_EQ(yellow.status, 1) << yellow.out;
  EXPECT_TRUE(has(yellow, "복사 0 · 기존 3")) << yellow.out;
  EXPECT_FALSE(has(yellow, "리캡")) << yellow.out;
  // A destination whose drive is missing stops before anything is written: red.
  auto red =
      c.run({c.card, "--project", "봄", "--dest", c.dir.path + "/nodrive/x", "--dest", c.d2});
  EXPECT_EQ(red.status, 2) << red.out;
  EXPECT_FALSE(exists(c.dir.path + "/nodrive"));
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
  EXPECT_TRUE(has(r, "복사 3 · 기존 0 · 실패 1")) << r.out;
  // The same partial listing again is still not a backed-up card.
  auto status = c.run({c.card, "--copies", "1"}, "status");
  EXPECT_EQ(status.status, 1) << status.out;
  EXPECT_TRUE(has(status, "카드를 모두 읽지 못했습니다 — 포맷하지 마세요")) << status.out;
  ::chmod(folder.c_str(), 0755);
}

// Bodies that all counted to IMG_0001.JPG at the same minute share one session folder: a still
// never replaces another camera's, recorded or not, and each copy holds its own card's bytes.
TEST(IngestCommand, SameNamedStillsOfTwoCamerasBothKept) {
  Cli c;
  auto card = [&](const std::string& name, unsigned seed, size_t size) {
    const std::string at = c.dir.path + "/" + name, still = at + "/DCIM/100CANON/IMG_0001.JPG";
    mkdirs(parentPath(still));
    writePattern(still, size, seed);
    EXPECT_EQ(sh("touch -d '2026-03-01 10:00:00' '" + still + "'"), 0);
    return at;
  };
  // C's still has the size of A's: only its bytes tell them apart.
  const std::string cardA = card("A", 7, 5000), cardB = card("B", 8, 5001),
                    cardC = card("C", 9, 5000);
  auto ingest = [&](const std::string& at, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {at, "--project", "봄", "--dest", c.d1, "--copies", "1"};
    args.insert(args.end(), more.begin(), more.end());
    auto r = c.run(args);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return r;
  };
  ingest(cardA);
  const std::string placeA = only("\"$(find '" + c.d1 + "' -name IMG_0001.JPG)\"");
  const std::string folder = parentPath(placeA);
  // Neither is given a label: the second camera takes the next one free, as the application does.
  ingest(cardB);
  // Moved by a name two clips share: both are listed to choose from, nothing moves.
  auto which = c.run({only("'" + c.d1 + "'/*_봄"), "IMG_0001.JPG", "인서트"}, "reclassify");
  EXPECT_EQ(which.status, 2) << which.out;
  // A file at the place no record names (another camera's, written after this card was planned)
  // is never replaced either.
  ASSERT_EQ(sh("rm -rf '" + c.dir.path + "/home'"), 0);  // a database that knows nobody
  ingest(cardC, {"--cam", "C캠"});
  for (const auto& [copy, at] : {std::pair{placeA, cardA},
                                 {folder + "/B캠/IMG_0001.JPG", cardB},
                                 {folder + "/C캠/IMG_0001.JPG", cardC}})
    EXPECT_EQ(hashFile(copy), hashFile(at + "/DCIM/100CANON/IMG_0001.JPG")) << copy;
  EXPECT_EQ(shellOutput("find '" + c.d1 + "' -name IMG_0001.JPG | wc -l").out, "3\n");
}

TEST(IngestCommand, ProgressLine) {
  // Mid-way; the final call (no time left, no file); an empty card in no time divides by nothing.
  EXPECT_EQ(cli::progressLine(3, 10, "C0003.MP4", 500'000'000, 2'000'000'000, 5),
            "[#####...............] 3/10  500.0MB/2.0GB  100.0MB/s  남은 시간 0:15  C0003.MP4");
  EXPECT_EQ(cli::progressLine(10, 10, "", 2'000'000'000, 2'000'000'000, 20),
            "[####################] 10/10  2.0GB/2.0GB  100.0MB/s");
  EXPECT_EQ(cli::progressLine(0, 0, "", 0, 0, 0),
            "[####################] 0/0  0.0MB/0.0MB  0.0MB/s");
}

}  // namespace
}  // namespace tolverdine
