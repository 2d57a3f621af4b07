#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "cli/cli_test_util.h"
#include "cli/progress_bar.h"
#include "engine/base/text.h"
#include "engine/copy/copy.h"

namespace tolverdine {
namespace {

TEST(IngestCommand, ExitStatusIsTheCardColour) {
  Cli c;
  // Usage errors name what is wrong and touch nothing.
  struct Usage {
    std::vector<std::string> args;
    std::string says;
  };
  for (const auto& u : std::vector<Usage>{
           {{c.card, "--project", "p"}, "오류 — --dest 가 필요합니다"},
           {{c.card, "--dest", c.d1}, "오류 — --project 가 필요합니다"},
           {{"--project", "p", "--dest", c.d1}, "오류 — 카드 폴더를 주세요"},
           {{c.card, "--project", "p", "--dest", c.d1, "--copies", "0"},
            "오류 — --copies 는 양의 정수여야 합니다: 0"},
           {{c.card, "--project", "p", "--dest", c.d1, "--copies", "-1"}, "정수여야 합니다: -1"},
           {{c.card, "--project", "p", "--dest", c.d1, "--copies", "1.5"}, "정수여야 합니다: 1.5"},
           {{c.card, "--project", "p", "--dest", c.d1, "--verify", "quick"},
            "오류 — --verify 는 fast, standard, paranoid 중 하나입니다: quick"},
           {{c.card, "--project", "p", "--dest", c.d1, "--storage", "nonsense"},
            "오류 — --storage 는 split, mirror, auto 중 하나입니다: nonsense"},
           {{c.card, "--project", "p", "--dest", c.d1, "--preset", "없는것"},
            "오류 — 모르는 프리셋: 없는것 (있는 프리셋: "},
           {{c.card, "--project", "p", "--dest", c.d1, "--logo", c.dir.path + "/no.png"},
            "오류 — --logo 그림 파일이 없습니다: " + c.dir.path + "/no.png"},
           {{c.card, "--project", "p", "--dest", c.d1, "--bogus"}, "알 수 없는 옵션: --bogus"},
           {{c.card, "--project", "p", "--dest"}, "값이 없습니다: --dest"},
       }) {
    auto r = c.run(u.args);
    EXPECT_EQ(r.status, 64) << u.says;
    EXPECT_NE(r.err.find(u.says), std::string::npos) << r.err;
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
  EXPECT_EQ(sh("[ -z \"$(ls -A '" + c.d1 + "')\" ]"), 0)
      << "no project folder for a card never read";

  auto green = c.run({c.card, "--project", "봄", "--dest", c.d1, "--dest", c.d2, "--copies", "2"});
  EXPECT_EQ(green.status, 0) << green.out << green.err;
  EXPECT_NE(
      green.out.find(
          "🟢 복사 3 · 기존 0 — 검증 사본 2곳 이상, 카메라에서 포맷하세요"),
      std::string::npos)
      << green.out;

  // A green card hands its manifest to the user's command; the command's output goes to the recap
  // log.
  auto recap =
      c.run({c.card, "--project", "봄", "--dest", c.d1, "--dest", c.d2, "--recap", "echo made"});
  EXPECT_EQ(recap.status, 0);
  EXPECT_NE(recap.out.find("리캡 명령 시작: echo made "), std::string::npos) << recap.out;

  // Once more: nothing is copied again; asking for a third copy leaves the card yellow.
  auto yellow = c.run({c.card, "--project", "봄", "--dest", c.d1, "--dest", c.d2, "--copies", "3"});
  EXPECT_EQ(yellow.status, 1) << yellow.out;
  EXPECT_NE(yellow.out.find("복사 0 · 기존 3 — 사본 3곳 미달 3개, 카드를 비우지 마세요"),
            std::string::npos)
      << yellow.out;
  EXPECT_EQ(c.run({c.card, "--project", "봄", "--dest", c.d1, "--copies", "3", "--recap", "echo x"})
                .out.find("리캡"),
            std::string::npos);

  // A destination whose drive is missing stops before anything is written: red.
  auto red =
      c.run({c.card, "--project", "봄", "--dest", c.dir.path + "/nodrive/x", "--dest", c.d2});
  EXPECT_EQ(red.status, 2) << red.out;
  EXPECT_NE(red.out.find("시작하지 않음 — "), std::string::npos) << red.out;
  EXPECT_FALSE(exists(c.dir.path + "/nodrive"));
}

TEST(IngestCommand, CardListedOnlyInPartIsNeverGreen) {
  Cli c;
  mkdirs(c.card + "/DCIM/100MSDCF");
  writePattern(c.card + "/DCIM/100MSDCF/DSC00001.JPG", 1000, 4);
  // Root reads every folder; the command then runs as nobody, for whom the mode holds.
  c.asNobody = ::geteuid() == 0;
  ASSERT_EQ(sh("chmod -R a+rwX '" + c.dir.path + "' '" + c.one.path + "'"), 0);
  ASSERT_EQ(::chmod((c.card + "/DCIM/100MSDCF").c_str(), 0), 0);
  auto r = c.run({c.card, "--project", "p", "--dest", c.d1, "--copies", "1"});
  EXPECT_EQ(r.status, 2) << r.out << r.err;
  EXPECT_NE(r.out.find("폴더를 읽지 못함: " + c.card +
                       "/DCIM/100MSDCF · 권한이 없습니다 (Permission denied)"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("복사 3 · 기존 0 · 실패 1 — 카드를 포맷하지 마세요"), std::string::npos)
      << r.out;
  // The same partial listing again is still not a backed-up card.
  auto status = c.run({c.card, "--copies", "1"}, "status");
  EXPECT_EQ(status.status, 1) << status.out;
  EXPECT_NE(status.out.find("카드를 모두 읽지 못했습니다 — 포맷하지 마세요"), std::string::npos)
      << status.out;
  EXPECT_EQ(status.out.find("이미 백업됨"), std::string::npos) << status.out;
  ::chmod((c.card + "/DCIM/100MSDCF").c_str(), 0755);
}

TEST(IngestCommand, SameNamedStillsOfTwoCamerasBothKept) {
  Cli c;
  // Two bodies both counted to IMG_0001.JPG at the same minute: one session folder for both.
  const std::string cardB = c.dir.path + "/cardB";
  for (const auto& [card, seed] : {std::pair{c.card, 7u}, std::pair{cardB, 8u}}) {
    mkdirs(card + "/DCIM/100CANON");
    writePattern(card + "/DCIM/100CANON/IMG_0001.JPG", 4993 + seed, seed);
    ASSERT_EQ(sh("touch -d '2026-03-01 10:00:00' '" + card + "/DCIM/100CANON/IMG_0001.JPG'"), 0);
  }
  auto stills = [&] {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(c.d1))
      if (e.path().filename() == "IMG_0001.JPG")
        out.push_back(e.path().string().substr(c.d1.size() + 1));
    std::sort(out.begin(), out.end());
    return out;
  };
  // Neither is given a label: the second camera takes the next one free, as the application does.
  auto a = c.run({c.card, "--project", "봄", "--dest", c.d1, "--copies", "1"});
  ASSERT_EQ(a.status, 0) << a.out << a.err;
  ASSERT_EQ(stills().size(), 1u);
  const std::string placeA = stills()[0];
  const std::string folder = parentPath(placeA);
  auto b = c.run({cardB, "--project", "봄", "--dest", c.d1, "--copies", "1"});
  EXPECT_EQ(b.status, 0) << b.out << b.err;
  EXPECT_NE(b.out.find("다른 카메라의 같은 이름 사진이 있어 B캠 폴더에 넣음: 1개"),
            std::string::npos)
      << b.out;
  EXPECT_EQ(stills(), (std::vector<std::string>{folder + "/B캠/IMG_0001.JPG", placeA}));
  EXPECT_EQ(hashFile(c.d1 + "/" + placeA), hashFile(c.card + "/DCIM/100CANON/IMG_0001.JPG"))
      << "never overwritten";
  EXPECT_EQ(hashFile(c.d1 + "/" + folder + "/B캠/IMG_0001.JPG"),
            hashFile(cardB + "/DCIM/100CANON/IMG_0001.JPG"));
  // The job summary file of that run says so.
  std::string project = folder.substr(0, folder.find('/'));
  bool noted = false;
  for (const auto& e : std::filesystem::directory_iterator(c.d1 + "/" + project + "/_리포트"))
    if (e.path().string().ends_with("_job.json") && e.path().filename().string().starts_with("B캠"))
      noted = noted || slurp(e.path()).find("B캠 폴더에 넣음") != std::string::npos;
  EXPECT_TRUE(noted);
  bool printed = false;  // and so does its printed report
  for (const auto& e : std::filesystem::directory_iterator(c.d1 + "/" + project + "/_리포트"))
    if (e.path().string().ends_with("_ingest.pdf") &&
        e.path().filename().string().starts_with("B캠"))
      printed = printed || shellOutput("pdftotext -enc UTF-8 '" + e.path().string() + "' -")
                                   .out.find("B캠 폴더에 넣음") != std::string::npos;
  EXPECT_TRUE(printed);
  // Both cards again: each finds its copy where it put it; no third place, nothing copied.
  for (const auto& [card, cam] : {std::pair{c.card, "A캠"}, std::pair{cardB, "B캠"}}) {
    auto again = c.run({card, "--project", "봄", "--dest", c.d1, "--copies", "1", "--cam", cam});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_NE(again.out.find("🟢 복사 0 · 기존 "), std::string::npos) << again.out;
  }
  EXPECT_EQ(stills().size(), 2u);
  // Moved by a name two clips share: both are listed to choose from, nothing moves.
  auto which = c.run({c.d1 + "/" + project, "IMG_0001.JPG", "인서트"}, "reclassify");
  EXPECT_EQ(which.status, 2);
  EXPECT_NE(which.out.find("이름이 IMG_0001.JPG 인 클립이 2개입니다 — 경로로 고르세요:\n"),
            std::string::npos)
      << which.out;
  for (const auto& place : stills())
    EXPECT_NE(which.out.find("\n  " + place.substr(project.size() + 1) + "\n"), std::string::npos)
        << which.out;
  EXPECT_EQ(stills().size(), 2u);
  // A file at the place that no record names (another camera's, written after this card was
  // planned) is never replaced either: this still goes to its own camera's folder.
  const std::string cardC = c.dir.path + "/cardC";
  mkdirs(cardC + "/DCIM/100CANON");
  writePattern(cardC + "/DCIM/100CANON/IMG_0001.JPG", 5000, 9);
  ASSERT_EQ(sh("touch -d '2026-03-01 10:00:00' '" + cardC + "/DCIM/100CANON/IMG_0001.JPG'"), 0);
  ASSERT_EQ(sh("rm -rf '" + c.dir.path + "/home'"), 0);  // a database that knows nobody
  auto stranger =
      c.run({cardC, "--project", "봄", "--dest", c.d1, "--copies", "1", "--cam", "C캠"});
  EXPECT_EQ(stranger.status, 0) << stranger.out;
  EXPECT_EQ(stills().size(), 3u);
  EXPECT_EQ(hashFile(c.d1 + "/" + folder + "/C캠/IMG_0001.JPG"),
            hashFile(cardC + "/DCIM/100CANON/IMG_0001.JPG"));
  EXPECT_EQ(hashFile(c.d1 + "/" + placeA), hashFile(c.card + "/DCIM/100CANON/IMG_0001.JPG"));
}

TEST(IngestCommand, ProgressLine) {
  EXPECT_EQ(cli::progressLine(3, 10, "C0003.MP4", 500'000'000, 2'000'000'000, 5),
            "[#####...............] 3/10  500.0MB/2.0GB  100.0MB/s  남은 시간 0:15  C0003.MP4");
  // The final call: all done, no time left shown, no file.
  EXPECT_EQ(cli::progressLine(10, 10, "", 2'000'000'000, 2'000'000'000, 20),
            "[####################] 10/10  2.0GB/2.0GB  100.0MB/s");
  // An empty card and a zero elapsed time divide by nothing.
  EXPECT_EQ(cli::progressLine(0, 0, "", 0, 0, 0),
            "[####################] 0/0  0.0MB/0.0MB  0.0MB/s");
}

}  // namespace
}  // namespace tolverdine
