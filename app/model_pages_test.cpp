// The folder checks of the settings page and the permission hint of a job that makes no progress.
#include "app/model.h"

#include <future>

#include "app/model_test_util.h"

namespace tolverdine {
namespace {

using namespace std::chrono_literals;

TEST(ModelPages, FolderChecksNameEachFolderAndKeepTheirAnswers) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["cascadeDests"] = {r.tmp.path + "/unplugged"};
  Model& m = r.make();
  m.checkPermissions();
  ASSERT_EQ(m.permChecks().size(), 3u);
  ASSERT_TRUE(r.settle());
  r.main.advance(5s);  // an answered check keeps its answer (the texts: FolderCheck.*)
  EXPECT_TRUE(m.permChecks()[0].ok);
  EXPECT_FALSE(m.permChecks()[2].ok);
  EXPECT_EQ(m.permChecks()[2].state, "연결 안 됨");
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
  std::string card = r.card("A001", 1, 1, true);
  ASSERT_TRUE(r.waiting(card));
  m.start(card, false);
  r.main.advance(14s);
  EXPECT_FALSE(r.at(card).note);
  r.main.advance(1s);
  EXPECT_EQ(
      r.at(card).note,
      "진행이 없습니다. 카드 리더가 응답하지 않으면 다시 연결하고, 카드 폴더의 읽기 권한을 확인하세요.");
  EXPECT_TRUE(r.logged("권한 대기 시작(15초 진행 없음 — TCC 창 의심): " + card));
  release.set_value();
  ASSERT_TRUE(r.done(card));
  EXPECT_TRUE(r.logged("권한 대기 해제(진행 시작): " + card));
  EXPECT_FALSE(r.at(card).note);
}

}  // namespace
}  // namespace tolverdine
