#include "app/model.h"

#include "app/model_test_util.h"
#include "engine/card/scan.h"
#include "engine/hashlist/mhl_folder.h"
#include "engine/hashlist/mhl_verify.h"
#include "engine/store/store.h"

namespace tolverdine {
namespace {

using namespace std::chrono_literals;

bool told(const ModelRig& r, const std::string& title, const std::string& body, bool critical) {
  return std::any_of(r.notifier.calls.begin(), r.notifier.calls.end(), [&](const auto& n) {
    return n.title == title && n.body == body && n.critical == critical;
  });
}

TEST(Model, NewCardCountsDownCopiesFinishesGreenEjectsAndIsKnownNextTime) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["autoStart"] = true;
  r.prefs.values["autoSeconds"] = 2;
  r.prefs.values["webhook"] = "https://hooks.example/x";
  Model& m = r.make();
  std::string card = r.card("A001");
  ASSERT_TRUE(r.waiting(card));
  EXPECT_EQ(r.at(card).cam, "A캠");
  EXPECT_EQ(r.logLine("카드 읽음: "), "카드 읽음: " + card + " · 파일 2개 · new · Sony 스틸 → A캠");
  EXPECT_EQ(r.at(card).phase.get<Phase::Waiting>()->countdown, 2);
  r.main.advance(1000ms);
  EXPECT_EQ(r.at(card).phase.get<Phase::Waiting>()->countdown, 1);
  r.main.advance(2000ms);  // 1 -> 0, then the start
  EXPECT_EQ(m.running(), 1);
  EXPECT_EQ(*r.sleepHeld, 1);
  EXPECT_EQ(r.logLine("시작: "),
            "시작: " + card + " → " + r.dest1() + ", " + r.dest2() +
                " · A캠 · default · 파일 2개 0.0GB · 사본 기준 2 · 검증 standard · 리더 모름");
  auto* f = r.done(card);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->color, CardColor::green);
  EXPECT_EQ(m.running() + *r.sleepHeld, 0);
  EXPECT_TRUE(r.logged("끝: " + card + " · green · 복사 2"));
  ASSERT_EQ(r.notifier.calls.size(), 1u);
  EXPECT_TRUE(told(r, "포맷 가능 — A001", r.notifier.calls[0].body, false));
  ASSERT_EQ(r.webhook.calls.size(), 1u);
  EXPECT_EQ(r.webhook.calls[0].text, "[데모] A001 (A캠) — 🟢 " + f->text);
  EXPECT_TRUE(r.prefs.values.count("projectDate")) << "the first job fixes the project date";
  ASSERT_TRUE(r.waitFor([&] { return r.logged("추출: " + card); }));
  EXPECT_EQ(r.ejector.calls(), std::vector<std::string>{card});
  EXPECT_EQ(m.lastJob().count(card), 1u);

  // The eject's unmount removes it; the same card again is known and cleared at once.
  r.unmount(card);
  EXPECT_EQ(m.card(card), nullptr);
  r.mount(card);
  r.mount(card);  // a repeated event changes nothing
  EXPECT_EQ(m.cards().size(), 1u);
  ASSERT_TRUE(r.done(card));
  EXPECT_EQ(r.finished(card)->text, "이미 백업됨 — A캠, 파일 2개 모두 검증 사본 2곳 이상");
  r.unmount(card);

  // The project folder deleted on the second destination, which stays there: the card says why
  // it is not cleared.
  ASSERT_TRUE(r.settle());
  ASSERT_EQ(sh("rm -rf '" + r.dest2() + "'/*"), 0);
  ASSERT_TRUE(r.waiting(card));
  EXPECT_EQ(r.at(card).note, std::optional<std::string>("사본 2개 제외 — 파일 없음 2"));
  EXPECT_EQ(r.finished(card), nullptr);
}

// A start needs the terms accepted and a project with destinations; a card shot on another day
// than the project's stops until the user starts it anyway; a held card never starts by itself.
TEST(Model, StartNeedsConsentReadinessAndTheProjectDateAndHoldStopsTheCountdown) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values.erase("eulaAccepted");
  r.prefs.values["autoStart"] = true;
  r.prefs.values["projectDate"] = "19990101";
  Model& m = r.make();
  EXPECT_TRUE(m.showOnboarding());
  std::string card = r.card("A001");
  ASSERT_TRUE(r.waiting(card));
  EXPECT_EQ(r.at(card).phase.get<Phase::Waiting>()->countdown, 10);
  m.hold(card);
  EXPECT_EQ(r.at(card).phase.get<Phase::Waiting>()->countdown, std::nullopt);
  r.main.advance(20s);
  EXPECT_TRUE(r.in<Phase::Waiting>(card));  // held: nothing starts by itself

  m.start(card, false);
  EXPECT_EQ(r.at(card).note, "먼저 사용 약관에 동의하세요");
  m.acceptEULA();
  EXPECT_FALSE(m.showOnboarding());
  EXPECT_EQ(r.prefs.values["eulaAccepted"], "fp");
  m.setSetting("project", "  ");
  m.start(card, false);
  EXPECT_EQ(r.at(card).note, "프로젝트와 목적지를 먼저 정하세요");
  EXPECT_TRUE(r.in<Phase::Waiting>(card));

  m.setSetting("project", "데모");
  m.start(card, false);
  ASSERT_TRUE(r.waitFor([&] { return r.at(card).dateMismatch; }));
  EXPECT_EQ(r.at(card).phase.get<Phase::Waiting>()->countdown, std::nullopt);
  EXPECT_NE(r.at(card).note.value_or("").find("이 프로젝트 날짜 19990101 와 다릅니다."),
            std::string::npos);
  EXPECT_EQ(m.running() + *r.sleepHeld, 0) << "stopped: the sleep hold is released";
  m.start(card, true);
  ASSERT_TRUE(r.done(card));
  EXPECT_EQ(r.finished(card)->color, CardColor::green);
  EXPECT_EQ(r.prefs.values["projectDate"], "19990101");  // an existing project date stays
  m.dismiss(card);
  EXPECT_TRUE(m.cards().empty());
}

// One job per camera label at a time, and no more jobs than `parallel` (below 2: one).
TEST(Model, QueueRunsOneJobPerCameraLabelAndHonoursParallel) {
  for (int parallel : {2, 0}) {
    SCOPED_TRACE(parallel);
    ModelRig r;
    r.readyToGo();
    r.prefs.values["parallel"] = parallel;
    // Different file counts: cards with the same names, sizes and times are one card.
    std::string a1 = r.card("A1", 1, 10), a2 = r.card("A2", 2, 20), b = r.card("B1", 3, 30);
    {
      Store s(r.db());  // two cards remembered under the same label
      for (const auto& c : {a1, a2}) {
        auto files = quickList(c).files;
        s.recordCard(cardFingerprint(files), "A캠", files, std::nullopt);
      }
    }
    Model& m = r.make();
    EXPECT_EQ(m.nextCam(), "A캠");
    ASSERT_TRUE(r.waiting(a1) && r.waiting(a2));
    ASSERT_TRUE(r.waiting(b));  // read after the others, so the next free label is B
    EXPECT_EQ(r.at(a2).cam, "A캠");
    EXPECT_EQ(r.at(b).cam, "B캠");
    EXPECT_EQ(m.nextCam(), "C캠");
    for (const auto& c : {a1, a2, b}) m.start(c, false);
    EXPECT_TRUE(r.in<Phase::Running>(a1));
    EXPECT_TRUE(r.in<Phase::Queued>(a2));  // same label waits even with a free slot
    EXPECT_EQ(r.in<Phase::Running>(b), parallel == 2);
    EXPECT_EQ(m.running(), parallel == 2 ? 2 : 1);
    ASSERT_TRUE(r.waitFor([&] { return r.finished(a1) && r.finished(a2) && r.finished(b); }));
    EXPECT_EQ(m.running(), 0);
  }
}

TEST(Model, EjectRetriesTwiceThenSaysWhichAttemptWorkedOrNamesTheHolders) {
  for (bool works : {true, false}) {
    ModelRig r;
    r.readyToGo();
    r.ejector.results = {EjectFailure{"busy"}};
    if (!works)
      r.ejector.results.insert(r.ejector.results.end(),
                               {EjectFailure{"busy"}, EjectFailure{"장치 사용 중"}});
    r.holders.names = {"mpv", "vlc"};
    r.make();
    std::string card = r.card("A001");
    ASSERT_TRUE(r.copyThrough(card));
    ASSERT_TRUE(r.settle());
    EXPECT_EQ(r.ejector.calls().size(), 1u);
    for (int i = 0; i < (works ? 1 : 2); ++i) {
      r.main.advance(5s);
      ASSERT_TRUE(r.settle());
    }
    ASSERT_TRUE(r.waitFor([&] { return r.logged(works ? "추출: " : "추출 실패: "); }));
    if (works) {
      EXPECT_EQ(r.logLine("추출: "), "추출: " + card + " (2번째)");
      continue;
    }
    EXPECT_EQ(r.ejector.calls().size(), 3u);
    EXPECT_EQ(r.at(card).note, "추출 실패 — 이 앱이 카드 파일을 쥐고 있습니다: mpv, vlc");
    EXPECT_EQ(r.logLine("추출 실패: "), "추출 실패: " + card + " · 쥔 앱: mpv, vlc · 장치 사용 중");
    r.main.advance(60s);
    EXPECT_EQ(r.ejector.calls().size(), 3u);  // no fourth attempt
  }
}

TEST(Model, TwinCardWaitsForTheUserAndIsClearedOnlyWithEnoughCopies) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["autoStart"] = true;
  r.prefs.values["ejectOnGreen"] = false;
  Model& m = r.make();
  std::string slot1 = r.card("S1");
  r.volumes[slot1] = "VOL-1";
  ASSERT_TRUE(r.copyThrough(slot1));
  ASSERT_EQ(r.finished(slot1)->color, CardColor::green);

  // The second slot: same files, another volume, mounted elsewhere.
  std::string slot2 = r.tmp.path + "/S2";
  ASSERT_EQ(sh("cp -a '" + slot1 + "' '" + slot2 + "'"), 0);
  r.volumes[slot2] = "VOL-2";
  // Mounted again (after a dismiss) and compared: the verdict it ends with.
  auto compared = [&]() -> const Phase::Finished* {
    m.dismiss(slot2);
    if (!r.waiting(slot2)) return nullptr;
    m.verifyTwinCard(slot2);
    return r.done(slot2);
  };
  ASSERT_TRUE(r.waiting(slot2));
  const CardItem& t = r.at(slot2);
  EXPECT_TRUE(t.status.is<CardStatus::Twin>());
  EXPECT_EQ(t.phase.get<Phase::Waiting>()->countdown, std::nullopt);  // never starts by itself
  EXPECT_EQ(
      t.note,
      "듀얼 슬롯 백업 카드로 보입니다 (A캠, 2개). '슬롯 대조'는 쓰지 않고 해시만 비교합니다.");
  m.verifyTwinCard(slot2);
  ASSERT_TRUE(r.done(slot2));
  EXPECT_EQ(r.finished(slot2)->color, CardColor::green) << r.finished(slot2)->text;
  EXPECT_EQ(r.finished(slot2)->text, "두 슬롯 내용 동일 (2개) — 이 카드도 포맷해도 됩니다");

  // With a higher requirement the same content is not yet a safe second copy, and a second copy
  // does not clear a slot that cannot be listed in full.
  m.setSetting("copies", 3);
  r.unlistable(slot2 + "/DCIM");
  ASSERT_TRUE(compared());
  EXPECT_EQ(r.finished(slot2)->color, CardColor::yellow);
  EXPECT_TRUE(r.at(slot2).incomplete);
  mkdirs(r.tmp.path + "/nas");
  m.addDest(r.tmp.path + "/nas", true);
  ASSERT_TRUE(r.cascaded());
  EXPECT_EQ(r.finished(slot2)->color, CardColor::yellow);
  sh("rm -rf '" + r.unlistable_.back() + "'");

  // Keeping slot 2 as its own card copies it under the _SLOT2 label.
  m.setSetting("copies", 2);
  m.dismiss(slot2);
  ASSERT_TRUE(r.waiting(slot2));
  m.setSetting("project", "");  // not ready: the start is refused, the label keeps one suffix
  m.keepSlot2(slot2);
  m.keepSlot2(slot2);
  m.setSetting("project", "데모");
  m.keepSlot2(slot2);
  EXPECT_EQ(r.at(slot2).cam, "A캠_SLOT2");
  ASSERT_TRUE(r.done(slot2));
  EXPECT_EQ(r.finished(slot2)->color, CardColor::green);

  // A file that differs makes the slots red, and the note names it.
  const std::string changed = slot2 + "/DCIM/100MSDCF/DSC00001.JPG";
  writePattern(changed, 1001, 99);
  ASSERT_EQ(sh("touch -r '" + slot1 + "/DCIM/100MSDCF/DSC00001.JPG' '" + changed + "'"), 0);
  ASSERT_TRUE(compared());
  EXPECT_EQ(r.finished(slot2)->color, CardColor::red);
  EXPECT_EQ(r.finished(slot2)->text, "두 슬롯이 다릅니다: 다름 1 · 못 읽음 0 — 포맷하지 마세요");
  EXPECT_EQ(r.at(slot2).note, "DCIM/100MSDCF/DSC00001.JPG");
}

// The second copy clears the card it was made of; a card swapped at the same path (without an
// unmount event reaching us) stays yellow.
TEST(Model, SecondCopyFillsTheGapOfAYellowCard) {
  for (bool swapped : {true, false}) {
    ModelRig r;
    std::string nas = r.secondCopyNeeded();
    Model& m = r.make();
    std::string card = r.card("A001");
    r.volumes[card] = "VOL-1";
    ASSERT_TRUE(r.copyThrough(card));
    ASSERT_EQ(r.finished(card)->color, CardColor::yellow);
    if (swapped) r.volumes[card] = "VOL-2";
    std::vector<Model::CascadeLive> seen;
    m.observe([&](Model::Change) {
      if (m.cascadeLive()) seen.push_back(*m.cascadeLive());
    });
    // An empty second-copy target that is not there is skipped; the one that is gets the copy.
    m.addDest(r.tmp.path + "/unplugged", true);
    m.addDest(nas, true);
    ASSERT_TRUE(r.cascaded());
    EXPECT_EQ(m.cascadeNote(), "2차 복사 2개");
    // Its bytes while it ran: photos of 1001 and 1002 bytes, the first at 0 of all, the second
    // after the other.
    bool first = false, second = false;
    for (const auto& l : seen) {
      if (l.count == 0) continue;  // announced before the run counts
      EXPECT_EQ(l.bytesTotal, 1001 + 1002);
      first = first || (l.done == 1 && l.bytesDone == 0);
      second = second || (l.done == 2 && l.bytesDone >= 1001 && l.bytesDone <= 1002);
    }
    EXPECT_TRUE(first && second);
    EXPECT_FALSE(m.cascadeLive());
    if (swapped) {
      EXPECT_EQ(r.finished(card)->color, CardColor::yellow);
      continue;
    }
    ASSERT_TRUE(r.waitFor([&] { return r.finished(card)->color == CardColor::green; }));
    EXPECT_EQ(r.finished(card)->text, "2차 복사로 검증 사본 3곳 채움 — 카메라에서 포맷하세요");
    EXPECT_TRUE(told(r, "2차 복사 끝", "2차 복사 2개", false));
    // The second copy carries a hash list naming both files, as the mirror command's does.
    std::vector<std::string> folders = listFolder(nas);
    ASSERT_EQ(folders.size(), 1u);
    MHLVerifyReport listed = verifyMHL(nas + "/" + folders[0]);
    EXPECT_TRUE(listed.clean() && listed.files.size() == 2 && listed.unlisted.empty());
  }
}

TEST(Model, ASecondCopyWithoutItsHashListIsShownAsTrouble) {
  ModelRig r;
  std::string nas = r.secondCopyNeeded();
  Model& m = r.make();
  ASSERT_TRUE(r.copyThrough(r.card("A001")));
  std::vector<std::string> projects = listFolder(r.dest1());
  ASSERT_EQ(projects.size(), 1u);
  // A file where the hash-list folder belongs: the copies land, their list cannot be written.
  mkdirs(nas + "/" + projects[0]);
  writeFile(nas + "/" + projects[0] + "/ascmhl", "not a folder");
  m.addDest(nas, true);
  ASSERT_TRUE(r.cascaded());
  // Both primaries are offered to the one target, and neither run could list its copies.
  EXPECT_EQ(m.cascadeNote(), "2차 복사 2개 · 해시 목록 실패 2곳 — 로그 확인");
  EXPECT_TRUE(told(r, "2차 복사 확인 필요", *m.cascadeNote(), true));
  EXPECT_TRUE(r.logged("해시 목록 실패: " + nas + "/" + projects[0] + "/ascmhl"));
}

// A card that cannot be listed in full is never cleared: not by its job, not by the second copy,
// not by its record at the next mount.
TEST(Model, ACardListedOnlyInPartIsNeverGreen) {
  ModelRig r;
  std::string nas = r.secondCopyNeeded();
  Model& m = r.make();
  std::string card = r.card("A001");
  ASSERT_TRUE(r.copyThrough(card));
  ASSERT_EQ(r.finished(card)->color, CardColor::yellow);
  r.unlistable(card + "/DCIM");
  auto notGreen = [&] { return !r.finished(card) || r.finished(card)->color != CardColor::green; };
  r.unmount(card);
  ASSERT_TRUE(r.copyThrough(card));
  EXPECT_TRUE(r.at(card).incomplete);
  EXPECT_TRUE(notGreen()) << r.finished(card)->text;
  m.addDest(nas, true);
  ASSERT_TRUE(r.cascaded());
  EXPECT_EQ(m.cascadeNote(), "2차 복사 2개");
  EXPECT_TRUE(notGreen()) << "after the second copy";
  r.unmount(card);
  r.mount(card);
  ASSERT_TRUE(r.settle());
  EXPECT_TRUE(r.at(card).incomplete);
  EXPECT_TRUE(notGreen()) << "known by its record";
}

TEST(Model, MountedVolumesAreCardsGenericMediaOrLeftAloneAndAPulledCardStaysListed) {
  ModelRig r;
  r.readyToGo();
  Model& m = r.make();
  auto media = [&](const std::string& name, std::optional<int64_t> size) {
    writePattern(r.tmp.path + "/" + name + "/backup/file.bin", 100, 1);
    r.capacities[r.tmp.path + "/" + name] = size;
    return r.tmp.path + "/" + name;
  };
  // Which volumes are cards or generic media: CardDetect.*; here the model follows the decision.
  const std::string bigCard = r.card("BIGCARD"), fixedCard = r.card("FIXED");
  r.capacities[bigCard] = 4'000'000'000'000;  // a card is a card at any size
  const std::string small = media("SMALL", 64'000'000'000), big = media("BIG", 2'200'000'000'001);
  for (const auto& p : {bigCard, small, big}) r.mount(p);
  r.mount(fixedCard, false);
  EXPECT_TRUE(m.card(bigCard) && !m.card(bigCard)->generic);
  EXPECT_TRUE(m.card(small) && m.card(small)->generic);
  for (const auto& p : {big, fixedCard}) EXPECT_EQ(m.card(p), nullptr) << p;

  // A card pulled during its job stays listed, with nothing to eject; another card mounted at the
  // same place is read, not ignored.
  ASSERT_TRUE(r.settle());
  m.start(bigCard, false);
  ASSERT_TRUE(r.in<Phase::Running>(bigCard));
  r.unmount(bigCard);
  EXPECT_TRUE(r.logged("⚠ 복사 중 카드 분리: " + bigCard));
  ASSERT_TRUE(r.done(bigCard));
  EXPECT_TRUE(r.ejector.calls().empty());
  r.mount(bigCard);
  EXPECT_TRUE(r.in<Phase::Reading>(bigCard));
  ASSERT_TRUE(r.done(bigCard));
}

TEST(Model, SecondCopyPassesOverAFullTargetAndFillsTheNext) {
  LoopMount full(16);
  SKIP_UNLESS_MOUNTED(full);
  // Filled to its last block: not even two photos fit.
  sh("dd if=/dev/zero of='" + full.path() + "/fill' bs=1M 2>/dev/null");
  ModelRig r;
  std::string nas = r.secondCopyNeeded();
  r.prefs.values["cascadeDests"] = {full.path(), nas};  // the full one is tried first
  Model& m = r.make();
  std::string card = r.card("A001");
  ASSERT_TRUE(r.copyThrough(card));
  ASSERT_TRUE(r.cascaded());
  EXPECT_EQ(r.finished(card)->color, CardColor::green) << r.finished(card)->text;
  EXPECT_EQ(m.cascadeNote().value_or("").rfind("2차 복사 2개", 0), 0u);
  EXPECT_EQ(listFolder(nas).size(), 1u);
  for (const auto& name : listFolder(full.path()))
    EXPECT_TRUE(name == "fill" || name == "lost+found") << name << " left on the full drive";
}

TEST(Model, WithoutADatabaseJobsAndTwinChecksEndRedNeverRunning) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["webhook"] = "https://hooks.example/x";
  r.webhook.result = {500, ""};
  // Reading goes on as a new card; the job and the slot comparison end red.
  Model& n = r.make("/proc/self/no-such-dir/state.db");
  std::string card = r.card("A001");
  ASSERT_TRUE(r.copyThrough(card));
  EXPECT_EQ(r.finished(card)->color, CardColor::red);
  EXPECT_EQ(r.finished(card)->text.rfind("오류 — ", 0), 0u) << r.finished(card)->text;
  EXPECT_EQ(n.running() + *r.sleepHeld, 0);
  EXPECT_TRUE(r.notifier.calls.back().critical);
  EXPECT_TRUE(r.logged("웹훅 실패: 500 ")) << "a refused post is logged";
  EXPECT_TRUE(r.ejector.calls().empty());
  n.verifyTwinCard(card);
  ASSERT_TRUE(r.done(card));
  EXPECT_EQ(r.finished(card)->color, CardColor::red);
  EXPECT_EQ(r.finished(card)->text.rfind("두 슬롯을 비교하지 못했습니다 — ", 0), 0u);
}

TEST(Model, WritableVolumesAreOfferedAsDestinationsAfterTheFirstSeconds) {
  ModelRig r;
  r.readyToGo();
  Model& m = r.make();
  const std::string ssd = r.tmp.path + "/vol/SSD", ssd2 = r.tmp.path + "/vol/SSD2";
  mkdirs(ssd);
  mkdirs(ssd2);
  r.mount(ssd2, false);
  EXPECT_EQ(m.destSuggestion(), std::nullopt);  // at start-up: already mounted, not offered
  r.clock.advance(6s);
  r.mount(ssd2, false);
  EXPECT_EQ(m.destSuggestion(), ssd2);
  EXPECT_TRUE(m.cards().empty());
  m.acceptSuggestion(true);
  EXPECT_EQ(m.settings().cascadeDests, std::vector<std::string>{ssd2 + "/TOLVERDINE"});
  r.mount(ssd2, false);
  EXPECT_EQ(m.destSuggestion(), std::nullopt);  // holds a destination already
  r.mount(ssd, false);
  ASSERT_EQ(m.destSuggestion(), ssd) << "SSD2 is not inside SSD";
  m.ignoreSuggestion();
  EXPECT_EQ(r.prefs.values["ignoredVolumes"], nlohmann::json::array({"SSD"}));
  r.mount(ssd, false);
  EXPECT_EQ(m.destSuggestion(), std::nullopt);
}

}  // namespace
}  // namespace tolverdine
