// The state behind the library, rules and report pages, the folder checks, the project file and
// the permission hint of a job that makes no progress.
#include "app/model.h"

#include <future>

#include "app/model_test_util.h"
#include "engine/project/project_file.h"
#include "engine/store/store.h"

namespace tolverdine {
namespace {

using namespace std::chrono_literals;

TEST(ModelPages, ReportListsClipsAndMovingOneUpdatesLibraryAndReport) {
  if (::access("/usr/bin/ffmpeg", X_OK) != 0) GTEST_SKIP() << "ffmpeg not installed";
  ModelRig r;
  r.readyToGo();
  r.prefs.values["ejectOnGreen"] = false;
  Model& m = r.make();
  std::string card = r.clipCard("A001");
  ASSERT_FALSE(card.empty());
  r.mount(card);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(card); }));
  m.start(card, false);
  ASSERT_TRUE(r.waitFor([&] { return r.finished(card) != nullptr; }));
  ASSERT_EQ(r.finished(card)->color, CardColor::green) << r.finished(card)->text;

  EXPECT_TRUE(m.reportClips().empty()) << "no report open";
  m.setReportCard(card);
  auto clips = m.reportClips();
  ASSERT_EQ(clips.size(), 2u);
  EXPECT_EQ(clips[0].path.rfind(m.lastJob().at(card).roots.front() + "/", 0), 0u)
      << "clips lie on the first destination";
  m.spotCheck();
  EXPECT_EQ(r.opener.opened.size(), 2u) << "two clips: each opened once";

  const std::string before = clips[0].row.cls;
  const std::string to = before == "인터뷰" ? "풀샷" : "인터뷰";
  // A move refused at the destination (another file at the new place) leaves the class shown.
  std::string blocker = clips[0].path;
  blocker.replace(blocker.find("/" + before + "/"), before.size() + 2, "/" + to + "/");
  ASSERT_TRUE(mkdirs(parentPath(blocker)));
  writeFile(blocker, "someone else's");
  EXPECT_FALSE(m.reclassifyClip(clips[0].row, to));
  EXPECT_EQ(m.reportClips()[0].row.cls, before);
  ASSERT_EQ(::unlink(blocker.c_str()), 0);
  m.reclassifyClip(clips[0].row, to);
  ASSERT_TRUE(m.libraryNote());
  EXPECT_EQ(*m.libraryNote(), "옮김: C0001.MP4 → " + to);
  EXPECT_TRUE(r.logged("재분류: "));
  clips = m.reportClips();
  EXPECT_EQ(clips[0].row.cls, to);
  EXPECT_NE(clips[0].path.find("/" + to + "/"), std::string::npos) << clips[0].path;
  EXPECT_TRUE(std::filesystem::exists(clips[0].path));

  // The library lists both copies by name, the card in the history and no suggestion yet.
  m.runSearch("C0001");
  EXPECT_EQ(m.hits().size(), 2u);
  EXPECT_EQ(m.history().size(), 1u);
  EXPECT_TRUE(m.suggestions().empty());
  // Moving the copy on the second drive as well, through the library.
  const Hit* other = nullptr;
  for (const auto& h : m.hits())
    if (h.dest != m.lastJob().at(card).roots.front()) other = &h;
  ASSERT_NE(other, nullptr);
  m.reclassifyHit(*other, to);
  EXPECT_EQ(*m.libraryNote(), "옮김: C0001.MP4 → " + to);
  for (const auto& h : m.hits())
    EXPECT_NE(h.classPath().find("/" + to + "/"), std::string::npos) << h.classPath();
}

TEST(ModelPages, FolderChecksNameEachFolderAndKeepTheirAnswers) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["cascadeDests"] = {r.tmp.path + "/unplugged"};
  Model& m = r.make();
  m.checkPermissions();
  ASSERT_EQ(m.permChecks().size(), 3u);
  EXPECT_EQ(m.permChecks()[0].state, "확인 중…");
  ASSERT_TRUE(r.waitFor([&] { return m.idle(); }));
  r.main.runPending();
  EXPECT_EQ(m.permChecks()[0].state, "쓰기 됨");
  EXPECT_TRUE(m.permChecks()[0].ok);
  EXPECT_EQ(m.permChecks()[2].state, "연결 안 됨");
  EXPECT_FALSE(m.permChecks()[2].ok);
  r.main.advance(5s);
  EXPECT_EQ(m.permChecks()[0].state, "쓰기 됨") << "an answered check keeps its answer";
  EXPECT_TRUE(r.logged("권한 점검: " + r.dest1() + " · 쓰기 · 됨"));
}

TEST(ModelPages, ProjectFileRoundTripAndRefusedFiles) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["copies"] = 3;
  r.prefs.values["names"] = "en";
  r.prefs.values["storage"] = "split";
  Model& m = r.make();
  const std::string file = r.tmp.path + "/데모.tolverdine.json";
  ASSERT_TRUE(m.exportProject(file));
  EXPECT_TRUE(r.logged("프로젝트 파일 내보냄: " + file));

  // Another machine: nothing set up, then the file is imported.
  ModelRig other;
  Model& n = other.make();
  ASSERT_TRUE(n.importProject(file));
  EXPECT_EQ(n.settings().project, "데모");
  EXPECT_EQ(n.settings().dests, (std::vector<std::string>{r.dest1(), r.dest2()}));
  EXPECT_EQ(n.settings().copies, 3);
  EXPECT_TRUE(n.settings().english);
  EXPECT_EQ(n.settings().storageMode, "split");
  EXPECT_EQ(other.prefs.values["copies"], 3);
  EXPECT_TRUE(other.logged("프로젝트 파일 불러옴: 데모"));

  writeFile(r.tmp.path + "/bad.json", "{\"schema\": \"someone-else/1\"}");
  EXPECT_FALSE(n.importProject(r.tmp.path + "/bad.json"));
  ASSERT_TRUE(n.cascadeNote());
  EXPECT_EQ(n.cascadeNote()->rfind("불러오기 실패: ", 0), 0u);
  EXPECT_EQ(n.settings().project, "데모") << "a refused file changes nothing";
  EXPECT_FALSE(n.exportProject("/proc/self/nope/x.json"));
  EXPECT_EQ(n.cascadeNote()->rfind("내보내기 실패: ", 0), 0u);
}

TEST(ModelPages, JobWithoutProgressGetsThePermissionHintUntilBytesMove) {
  ModelRig r;
  r.readyToGo();
  // The scan's probe of the clip hangs, as a permission window would hold the first read.
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  r.probe = [gate](const std::string&) {
    gate.wait();
    return Meta{};
  };
  Model& m = r.make();
  std::string card = r.tmp.path + "/A001";
  mkdirs(card + "/PRIVATE/M4ROOT/CLIP");
  writePattern(card + "/PRIVATE/M4ROOT/CLIP/C0001.MP4", 5000, 1);
  r.mount(card);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(card); }));
  m.start(card, false);
  r.main.advance(14s);
  EXPECT_FALSE(r.at(card).note);
  r.main.advance(1s);
  EXPECT_EQ(
      r.at(card).note,
      "진행이 없습니다. 카드 리더가 응답하지 않으면 다시 연결하고, 카드 폴더의 읽기 권한을 확인하세요.");
  EXPECT_TRUE(r.logged("권한 대기 시작(15초 진행 없음 — TCC 창 의심): " + card));
  release.set_value();
  ASSERT_TRUE(r.waitFor([&] { return r.finished(card) != nullptr; }));
  EXPECT_TRUE(r.logged("권한 대기 해제(진행 시작): " + card));
  EXPECT_FALSE(r.at(card).note);
}

}  // namespace
}  // namespace tolverdine
