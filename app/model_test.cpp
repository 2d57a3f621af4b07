#include "app/model.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "app/model_test_util.h"
#include "engine/card/scan.h"
#include "engine/hashlist/mhl_folder.h"
#include "engine/hashlist/mhl_verify.h"
#include "engine/store/store.h"

namespace tolverdine {
namespace {

using namespace std::chrono_literals;

// Hidden folders nested past PATH_MAX under root: even root cannot list the deepest.
void nestPastPathMax(const std::string& root) {
  const std::string name = "." + std::string(249, 'd');
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < 20 && fd >= 0; ++i) {
    ::mkdirat(fd, name.c_str(), 0755);
    int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
  }
  if (fd >= 0) ::close(fd);
}

TEST(Model, NewCardCountsDownCopiesFinishesGreenEjectsAndIsKnownNextTime) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["autoStart"] = true;
  r.prefs.values["autoSeconds"] = 2;
  r.prefs.values["webhook"] = "https://hooks.example/x";
  Model& m = r.make();
  std::string card = r.card("A001");
  r.mount(card);
  ASSERT_TRUE(r.in<Phase::Reading>(card));
  EXPECT_TRUE(r.logged("카드 감지: " + card));
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(card); }));
  EXPECT_EQ(r.at(card).cam, "A캠");
  EXPECT_EQ(r.at(card).phase.get<Phase::Waiting>()->countdown, 2);
  EXPECT_EQ(r.logLine("카드 읽음: "), "카드 읽음: " + card + " · 파일 2개 · new · Sony 스틸 → A캠");
  r.main.advance(1000ms);
  EXPECT_EQ(r.at(card).phase.get<Phase::Waiting>()->countdown, 1);
  r.main.advance(2000ms);  // 1 -> 0, then the start
  EXPECT_FALSE(r.in<Phase::Waiting>(card));
  EXPECT_EQ(m.running(), 1);
  EXPECT_EQ(*r.sleepHeld, 1);
  EXPECT_EQ(r.logLine("시작: "),
            "시작: " + card + " → " + r.dest1() + ", " + r.dest2() +
                " · A캠 · default · 파일 2개 0.0GB · 사본 기준 2 · 검증 standard · 리더 모름");
  ASSERT_TRUE(r.waitFor([&] { return r.finished(card) != nullptr; }));
  auto* f = r.finished(card);
  EXPECT_EQ(f->color, CardColor::green);
  EXPECT_EQ(f->text, "복사 2 · 기존 0 — 검증 사본 2곳 이상, 카메라에서 포맷하세요");
  EXPECT_EQ(m.running(), 0);
  EXPECT_EQ(*r.sleepHeld, 0);
  EXPECT_TRUE(r.logged("끝: " + card + " · green · 복사 2"));
  ASSERT_EQ(r.notifier.calls.size(), 1u);
  EXPECT_EQ(r.notifier.calls[0].title, "포맷 가능 — A001");
  EXPECT_FALSE(r.notifier.calls[0].critical);
  ASSERT_EQ(r.webhook.calls.size(), 1u);
  EXPECT_EQ(r.webhook.calls[0].text, "[데모] A001 (A캠) — 🟢 " + f->text);
  // The first job fixes the project date.
  ASSERT_TRUE(r.prefs.values.count("projectDate"));
  ASSERT_TRUE(r.waitFor([&] { return r.logged("추출: " + card); }));
  EXPECT_EQ(r.ejector.calls(), std::vector<std::string>{card});
  EXPECT_EQ(m.lastJob().count(card), 1u);

  // The eject's unmount removes it; the same card again is known and cleared at once.
  r.unmount(card);
  EXPECT_EQ(m.card(card), nullptr);
  r.mount(card);
  r.mount(card);  // a repeated event changes nothing
  EXPECT_EQ(m.cards().size(), 1u);
  ASSERT_TRUE(r.waitFor([&] { return r.finished(card) != nullptr; }));
  EXPECT_EQ(r.finished(card)->text, "이미 백업됨 — A캠, 파일 2개 모두 검증 사본 2곳 이상");
  EXPECT_EQ(m.running(), 0);

  // A card that cannot be listed in full is never cleared on its record alone.
  r.unmount(card);
  nestPastPathMax(card);
  r.mount(card);
  ASSERT_TRUE(r.waitFor([&] { return !r.in<Phase::Reading>(card); }));
  EXPECT_TRUE(r.in<Phase::Waiting>(card));
  EXPECT_EQ(std::system(("rm -rf '" + card + "'").c_str()), 0);  // too deep for TempDir
}

TEST(Model, StartNeedsConsentAndReadinessAndHoldStopsTheCountdown) {
  ModelRig r;
  mkdirs(r.dest1());
  r.prefs.values["autoStart"] = true;
  r.prefs.values["project"] = "데모";
  r.prefs.values["dests"] = {r.dest1()};
  Model& m = r.make();
  EXPECT_TRUE(m.showOnboarding());
  std::string card = r.card("A001");
  r.mount(card);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(card); }));
  EXPECT_EQ(r.at(card).phase.get<Phase::Waiting>()->countdown, 10);
  m.hold(card);
  EXPECT_EQ(r.at(card).phase.get<Phase::Waiting>()->countdown, std::nullopt);
  r.main.advance(20s);
  EXPECT_TRUE(r.in<Phase::Waiting>(card));  // held: nothing starts by itself

  m.start(card, false);
  EXPECT_EQ(r.at(card).note, "먼저 사용 약관에 동의하세요");
  EXPECT_TRUE(r.in<Phase::Waiting>(card));
  m.acceptEULA();
  EXPECT_TRUE(m.eulaAccepted());
  EXPECT_FALSE(m.showOnboarding());
  EXPECT_EQ(r.prefs.values["eulaAccepted"], "fp");
  EXPECT_TRUE(r.logged("약관 동의 (fp)"));

  m.setSetting("project", "  ");
  m.start(card, false);
  EXPECT_EQ(r.at(card).note, "프로젝트와 목적지를 먼저 정하세요");
  EXPECT_EQ(m.running(), 0);
  EXPECT_FALSE(m.setSetting("copies", 0));  // a requirement of no copies is refused
  EXPECT_FALSE(m.setSetting("copies", "3"));
  EXPECT_FALSE(m.setSetting("eulaAccepted", "fp"));
  m.dismiss(card);
  EXPECT_TRUE(m.cards().empty());
}

TEST(Model, QueueRunsOneJobPerCameraLabelAndHonoursParallel) {
  ModelRig r;
  r.readyToGo();
  // Different file counts: cards with the same names, sizes and times are one card.
  std::string a1 = r.card("A1", 1, 10), a2 = r.card("A2", 2, 20), b = r.card("B1", 3, 30);
  {
    // Two cards remembered under the same label.
    Store s(r.db());
    for (const auto& c : {a1, a2}) {
      auto files = quickList(c).files;
      s.recordCard(cardFingerprint(files), "A캠", files, std::nullopt);
    }
  }
  Model& m = r.make();
  r.mount(a1);
  r.mount(a2);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(a1) && r.in<Phase::Waiting>(a2); }));
  r.mount(b);  // read after the others, so the next free label is B
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(b); }));
  EXPECT_EQ(r.at(a1).cam, "A캠");
  EXPECT_EQ(r.at(a2).cam, "A캠");
  EXPECT_EQ(r.at(b).cam, "B캠");
  m.start(a1, false);
  m.start(a2, false);
  m.start(b, false);
  EXPECT_TRUE(r.in<Phase::Running>(a1));
  EXPECT_TRUE(r.in<Phase::Queued>(a2));  // same label waits even with a free slot
  EXPECT_TRUE(r.in<Phase::Running>(b));
  EXPECT_EQ(m.running(), 2);
  ASSERT_TRUE(r.waitFor([&] { return r.finished(a1) && r.finished(a2) && r.finished(b); }));
  EXPECT_EQ(m.running(), 0);
}

TEST(Model, ParallelBelowTwoRunsOneAtATime) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["parallel"] = 0;
  Model& m = r.make();
  EXPECT_EQ(m.settings().maxParallel(), 1);
  std::string a = r.card("A1", 1, 1), b = r.card("B1", 2, 2);
  r.mount(a);
  r.mount(b);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(a) && r.in<Phase::Waiting>(b); }, 3))
      << r.at(a).phase.value.index() << r.at(b).phase.value.index() << m.cards().size() << " idle "
      << m.idle();
  m.start(a, false);
  m.start(b, false);
  EXPECT_TRUE(r.in<Phase::Running>(a));
  EXPECT_TRUE(r.in<Phase::Queued>(b));
  ASSERT_TRUE(r.waitFor([&] { return r.finished(a) && r.finished(b); }));
}

TEST(Model, DateMismatchStopsReleasesTheSleepHoldAndStartAnywayCopies) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["projectDate"] = "19990101";
  Model& m = r.make();
  std::string card = r.card("A001");
  r.mount(card);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(card); }));
  m.start(card, false);
  ASSERT_TRUE(r.waitFor([&] { return r.at(card).dateMismatch; }));
  const CardItem& c = r.at(card);
  EXPECT_EQ(c.phase.get<Phase::Waiting>()->countdown, std::nullopt);
  ASSERT_TRUE(c.note);
  EXPECT_NE(c.note->find("이 프로젝트 날짜 19990101 와 다릅니다. 맞으면 '그래도 시작'"),
            std::string::npos)
      << *c.note;
  EXPECT_EQ(m.running(), 0);
  EXPECT_EQ(*r.sleepHeld, 0);
  EXPECT_TRUE(r.logged("멈춤(촬영일 다름): " + card + " 카드 "));
  m.start(card, true);
  ASSERT_TRUE(r.waitFor([&] { return r.finished(card) != nullptr; }));
  EXPECT_EQ(r.finished(card)->color, CardColor::green);
  EXPECT_EQ(r.prefs.values["projectDate"], "19990101");  // an existing project date stays
}

TEST(Model, EjectRetriesTwiceThenSaysWhichAttemptWorkedOrNamesTheHolders) {
  // A finished green card whose ejections answer `results` in turn.
  auto ejecting = [](ModelRig& r, std::deque<std::optional<EjectFailure>> results) {
    r.readyToGo();
    r.ejector.results = std::move(results);
    r.holders.names = {"mpv", "vlc"};
    Model& m = r.make();
    std::string card = r.card("A001");
    r.mount(card);
    EXPECT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(card); }));
    m.start(card, false);
    EXPECT_TRUE(r.waitFor([&] { return r.finished(card) && r.model->idle(); }));
    r.main.runPending();
    return card;
  };
  {
    ModelRig r;
    std::string card = ejecting(r, {EjectFailure{"busy"}});
    r.main.advance(5s);
    ASSERT_TRUE(r.waitFor([&] { return r.logged("추출: "); }));
    EXPECT_EQ(r.logLine("추출: "), "추출: " + card + " (2번째)");
  }
  ModelRig r;
  std::string card =
      ejecting(r, {EjectFailure{"busy"}, EjectFailure{"busy"}, EjectFailure{"장치 사용 중"}});
  EXPECT_EQ(r.ejector.calls().size(), 1u);
  r.main.advance(5s);
  ASSERT_TRUE(r.waitFor([&] { return r.ejector.calls().size() == 2 && r.model->idle(); }));
  r.main.runPending();
  r.main.advance(5s);
  ASSERT_TRUE(r.waitFor([&] { return r.logged("추출 실패: "); }));
  EXPECT_EQ(r.ejector.calls().size(), 3u);
  EXPECT_EQ(r.at(card).note, "추출 실패 — 이 앱이 카드 파일을 쥐고 있습니다: mpv, vlc");
  EXPECT_EQ(r.logLine("추출 실패: "), "추출 실패: " + card + " · 쥔 앱: mpv, vlc · 장치 사용 중");
  r.main.advance(60s);
  EXPECT_EQ(r.ejector.calls().size(), 3u);  // no fourth attempt
}

TEST(Model, TwinCardWaitsForTheUserAndIsClearedOnlyWithEnoughCopies) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["autoStart"] = true;
  r.prefs.values["ejectOnGreen"] = false;
  Model& m = r.make();
  std::string slot1 = r.card("S1");
  r.volumes[slot1] = "VOL-1";
  r.mount(slot1);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(slot1); }));
  m.start(slot1, false);
  ASSERT_TRUE(r.waitFor([&] { return r.finished(slot1) != nullptr; }));
  ASSERT_EQ(r.finished(slot1)->color, CardColor::green);
  EXPECT_TRUE(r.ejector.calls().empty());  // ejectOnGreen false

  // The second slot: same files, another volume, mounted elsewhere.
  std::string slot2 = r.tmp.path + "/S2";
  ASSERT_EQ(sh("cp -a '" + slot1 + "' '" + slot2 + "'"), 0);
  r.volumes[slot2] = "VOL-2";
  r.mount(slot2);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(slot2); }));
  const CardItem& t = r.at(slot2);
  EXPECT_TRUE(t.status.is<CardStatus::Twin>());
  EXPECT_EQ(t.phase.get<Phase::Waiting>()->countdown, std::nullopt);  // never starts by itself
  EXPECT_EQ(
      t.note,
      "듀얼 슬롯 백업 카드로 보입니다 (A캠, 2개). '슬롯 대조'는 쓰지 않고 해시만 비교합니다.");
  m.verifyTwinCard(slot2);
  EXPECT_EQ(r.at(slot2).phase.get<Phase::Running>()->file, "슬롯 대조");
  ASSERT_TRUE(r.waitFor([&] { return r.finished(slot2) != nullptr; }));
  EXPECT_EQ(r.finished(slot2)->color, CardColor::green)
      << r.finished(slot2)->text << " " << r.at(slot2).note.value_or("");
  EXPECT_EQ(r.finished(slot2)->text, "두 슬롯 내용 동일 (2개) — 이 카드도 포맷해도 됩니다");

  // With a higher requirement the same content is not yet a safe second copy.
  m.setSetting("copies", 3);
  m.dismiss(slot2);
  r.mount(slot2);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(slot2); }));
  m.verifyTwinCard(slot2);
  ASSERT_TRUE(r.waitFor([&] { return r.finished(slot2) != nullptr; }));
  EXPECT_EQ(r.finished(slot2)->color, CardColor::yellow);

  // Keeping slot 2 as its own card copies it under the _SLOT2 label.
  m.setSetting("copies", 2);
  m.dismiss(slot2);
  r.mount(slot2);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(slot2); }));
  m.setSetting("project", "");  // not ready: the start is refused, the label keeps one suffix
  m.keepSlot2(slot2);
  m.keepSlot2(slot2);
  EXPECT_EQ(r.at(slot2).cam, "A캠_SLOT2");
  m.setSetting("project", "데모");
  m.keepSlot2(slot2);
  EXPECT_EQ(r.at(slot2).cam, "A캠_SLOT2");
  ASSERT_TRUE(r.waitFor([&] { return r.finished(slot2) != nullptr; }));
  EXPECT_EQ(r.finished(slot2)->color, CardColor::green);

  // A file that differs makes the slots red, and the note names it.
  m.setSetting("copies", 2);
  writePattern(slot2 + "/DCIM/100MSDCF/DSC00001.JPG", 1001, 99);
  ASSERT_EQ(sh("touch -r '" + slot1 + "/DCIM/100MSDCF/DSC00001.JPG' '" + slot2 +
               "/DCIM/100MSDCF/DSC00001.JPG'"),
            0);
  m.dismiss(slot2);
  r.mount(slot2);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(slot2); }));
  m.verifyTwinCard(slot2);
  ASSERT_TRUE(r.waitFor([&] { return r.finished(slot2) != nullptr; }));
  EXPECT_EQ(r.finished(slot2)->color, CardColor::red);
  EXPECT_EQ(r.finished(slot2)->text, "두 슬롯이 다릅니다: 다름 1 · 못 읽음 0 — 포맷하지 마세요");
  EXPECT_EQ(r.at(slot2).note, "DCIM/100MSDCF/DSC00001.JPG");
}

TEST(Model, CardPulledDuringItsJobStaysListedAndANewCardTakesItsPlace) {
  ModelRig r;
  r.readyToGo();
  Model& m = r.make();
  std::string card = r.card("A001");
  r.mount(card);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(card); }));
  m.start(card, false);
  ASSERT_TRUE(r.in<Phase::Running>(card));
  r.unmount(card);
  EXPECT_TRUE(r.logged("⚠ 복사 중 카드 분리: " + card));
  ASSERT_NE(m.card(card), nullptr);
  ASSERT_TRUE(r.waitFor([&] { return r.finished(card) != nullptr; }));
  EXPECT_TRUE(r.ejector.calls().empty());  // nothing there to eject
  // Another card mounted at the same place is read, not ignored.
  r.mount(card);
  EXPECT_TRUE(r.in<Phase::Reading>(card));
  ASSERT_TRUE(r.waitFor([&] { return r.finished(card) != nullptr; }));
  EXPECT_EQ(m.cards().size(), 1u);
}

TEST(Model, SecondCopyFillsTheGapOfAYellowCard) {
  ModelRig r;
  std::string nas = r.secondCopyNeeded();
  Model& m = r.make();
  std::string card = r.card("A001");
  ASSERT_TRUE(r.copyThrough(card));
  EXPECT_EQ(r.finished(card)->color, CardColor::yellow);
  EXPECT_EQ(r.finished(card)->text, "복사 2 · 기존 0 — 사본 3곳 미달 2개, 카드를 비우지 마세요");
  // An empty second-copy target that is not there is skipped; the one that is gets the copy.
  m.addDest(r.tmp.path + "/unplugged", true);
  m.addDest(nas, true);
  ASSERT_TRUE(
      r.waitFor([&] { return !m.cascading() && r.finished(card)->color == CardColor::green; }));
  EXPECT_EQ(r.finished(card)->text, "2차 복사로 검증 사본 3곳 채움 — 카메라에서 포맷하세요");
  EXPECT_EQ(m.cascadeNote(), "2차 복사 2개");
  bool told = false;
  for (const auto& n : r.notifier.calls)
    told = told || (n.title == "2차 복사 끝" && n.body == "2차 복사 2개");
  EXPECT_TRUE(told);
  // The second copy carries a hash list naming both files, as the mirror command's does.
  std::vector<std::string> folders = listFolder(nas);
  ASSERT_EQ(folders.size(), 1u);
  MHLVerifyReport listed = verifyMHL(nas + "/" + folders[0]);
  EXPECT_TRUE(listed.clean());
  EXPECT_EQ(listed.files.size(), 2u);
  EXPECT_TRUE(listed.unlisted.empty());
  // Nothing new: no note, notification or webhook the second time.
  size_t notes = r.notifier.calls.size();
  m.cascade();
  ASSERT_TRUE(r.waitFor([&] { return !m.cascading() && m.idle(); }));
  r.main.runPending();
  EXPECT_EQ(r.notifier.calls.size(), notes);
}

TEST(Model, ASecondCopyWithoutItsHashListIsShownAsTrouble) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["copies"] = 3;
  r.prefs.values["ejectOnGreen"] = false;
  std::string nas = r.tmp.path + "/nas";
  Model& m = r.make();
  std::string card = r.card("A001");
  ASSERT_TRUE(r.copyThrough(card));
  std::vector<std::string> projects = listFolder(r.dest1());
  ASSERT_EQ(projects.size(), 1u);
  // A file where the hash-list folder belongs: the copies land, their list cannot be written.
  mkdirs(nas + "/" + projects[0]);
  writeFile(nas + "/" + projects[0] + "/ascmhl", "not a folder");
  m.addDest(nas, true);
  ASSERT_TRUE(r.waitFor([&] { return !m.cascading() && m.idle(); }));
  r.main.runPending();
  // Both primaries are offered to the one target, and neither run could list its copies.
  EXPECT_EQ(m.cascadeNote(), "2차 복사 2개 · 해시 목록 실패 2곳 — 로그 확인");
  bool told = false;
  for (const auto& n : r.notifier.calls)
    told = told || (n.title == "2차 복사 확인 필요" && n.body == *m.cascadeNote() && n.critical);
  EXPECT_TRUE(told);
  EXPECT_TRUE(r.logged("해시 목록 실패: " + nas + "/" + projects[0] + "/ascmhl"));
}

TEST(Model, MountedVolumesAreCardsGenericMediaOrLeftAlone) {
  ModelRig r;
  r.readyToGo();
  Model& m = r.make();
  auto media = [&](const std::string& name) {
    writePattern(r.tmp.path + "/" + name + "/backup/file.bin", 100, 1);
    return r.tmp.path + "/" + name;
  };
  const std::string bigCard = r.card("BIGCARD"), fixedCard = r.card("FIXED");
  const std::string small = media("SMALL"), edge = media("EDGE"), big = media("BIG"),
                    unknown = media("UNKNOWN");
  r.capacities[bigCard] = 4'000'000'000'000;  // a card is a card at any size
  r.capacities[edge] = 2'200'000'000'000;
  r.capacities[big] = 2'200'000'000'001;
  r.capacities[unknown] = std::nullopt;
  for (const auto& p : {bigCard, small, edge, big, unknown}) r.mount(p);
  r.mount(fixedCard, false);
  EXPECT_NE(m.card(bigCard), nullptr);
  EXPECT_FALSE(m.card(bigCard) && m.card(bigCard)->generic);
  for (const auto& p : {small, edge}) {
    ASSERT_NE(m.card(p), nullptr) << p;
    EXPECT_TRUE(m.card(p)->generic) << p;
  }
  for (const auto& p : {big, unknown, fixedCard}) EXPECT_EQ(m.card(p), nullptr) << p;
  ASSERT_TRUE(r.waitFor([&] { return m.idle(); }));
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
  ASSERT_TRUE(r.waitFor([&] { return !m.cascading() && m.idle(); }));
  r.main.runPending();
  EXPECT_EQ(r.finished(card)->color, CardColor::green) << r.finished(card)->text;
  ASSERT_TRUE(m.cascadeNote());
  EXPECT_EQ(m.cascadeNote()->rfind("2차 복사 2개", 0), 0u) << *m.cascadeNote();
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
  ModelServices svc{r.main,    r.prefs, r.log,   r.notifier, r.webhook, r.ejector,
                    r.holders, r.links, r.clock, r.opener,   nullptr,   {}};
  ModelOptions opt;
  opt.dbPath = "/proc/self/no-such-dir/state.db";
  opt.presetsV0 = r.tmp.path + "/v0.json";
  opt.presetsCustom = r.tmp.path + "/p.json";
  opt.terms = Terms{"약관", "fp"};
  opt.settleInterval = 0;
  opt.settleTries = 1;
  opt.probe = [](const std::string&) { return Meta{}; };
  r.model = std::make_unique<Model>(svc, opt);
  Model& n = *r.model;
  std::string card = r.card("A001");
  r.mount(card);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(card); }));
  n.start(card, false);
  ASSERT_TRUE(r.waitFor([&] { return r.finished(card) != nullptr; }));
  EXPECT_EQ(r.finished(card)->color, CardColor::red);
  EXPECT_EQ(r.finished(card)->text.rfind("오류 — ", 0), 0u) << r.finished(card)->text;
  EXPECT_EQ(n.running(), 0);
  EXPECT_TRUE(r.notifier.calls.back().critical);
  EXPECT_TRUE(r.logged("웹훅 실패: 500 ")) << "a refused post is logged";
  EXPECT_TRUE(r.ejector.calls().empty());
  n.verifyTwinCard(card);
  ASSERT_TRUE(r.waitFor([&] { return r.finished(card) != nullptr; }));
  EXPECT_EQ(r.finished(card)->color, CardColor::red);
  EXPECT_EQ(r.finished(card)->text.rfind("두 슬롯을 비교하지 못했습니다 — ", 0), 0u);
}

TEST(Model, YellowRecheckLeavesAnotherVolumeAtTheSamePathAlone) {
  ModelRig r;
  std::string nas = r.secondCopyNeeded();
  Model& m = r.make();
  std::string card = r.card("A001");
  r.volumes[card] = "VOL-1";
  ASSERT_TRUE(r.copyThrough(card));
  ASSERT_EQ(r.finished(card)->color, CardColor::yellow);
  r.volumes[card] = "VOL-2";  // the card was swapped without an unmount event reaching us
  m.addDest(nas, true);
  ASSERT_TRUE(r.waitFor([&] { return !m.cascading() && m.idle(); }));
  r.main.runPending();
  EXPECT_EQ(m.cascadeNote(), "2차 복사 2개");
  EXPECT_EQ(r.finished(card)->color, CardColor::yellow);
}

TEST(Model, SettingsOfTheWrongTypeReadAsDefaults) {
  ModelRig r;
  r.prefs.values["copies"] = "drei";
  r.prefs.values["parallel"] = 1.5;
  r.prefs.values["names"] = "en";
  r.prefs.values["dests"] = "not a list";
  r.prefs.values["autoSeconds"] = 3;
  r.prefs.values["roles"] = {{"A캠", "interview"}, {"B캠", "director"}};
  Model& m = r.make();
  const Settings& s = m.settings();
  EXPECT_EQ(s.copies, 2);
  EXPECT_EQ(s.maxParallel(), 2);
  EXPECT_TRUE(s.english);
  EXPECT_TRUE(s.dests.empty());
  EXPECT_EQ(s.countdownSeconds(), 3);
  EXPECT_EQ(s.roleFor("A캠"), CameraRole::interview);
  EXPECT_EQ(s.roleFor("B캠"), CameraRole::none);
  EXPECT_EQ(s.storage(), StorageMode::automatic);
  EXPECT_EQ(s.verify(), VerifyMode::standard);
}

TEST(Model, WritableVolumesAreOfferedAsDestinationsAfterTheFirstSeconds) {
  ModelRig r;
  r.readyToGo();
  Model& m = r.make();
  std::string vol = r.tmp.path + "/vol/NAS";
  mkdirs(vol);
  r.mount(vol, false);
  EXPECT_EQ(m.destSuggestion(), std::nullopt);  // at start-up: already mounted, not offered
  r.clock.advance(6s);
  r.mount(vol, false);
  EXPECT_EQ(m.destSuggestion(), vol);
  EXPECT_TRUE(m.cards().empty());
  m.acceptSuggestion(true);
  EXPECT_EQ(m.settings().cascadeDests, std::vector<std::string>{vol + "/TOLVERDINE"});
  r.mount(vol, false);
  EXPECT_EQ(m.destSuggestion(), std::nullopt);  // holds a destination already

  std::string other = r.tmp.path + "/vol/SPARE";
  mkdirs(other);
  r.mount(other, false);
  ASSERT_EQ(m.destSuggestion(), other);
  m.ignoreSuggestion();
  EXPECT_EQ(r.prefs.values["ignoredVolumes"], nlohmann::json::array({"SPARE"}));
  r.mount(other, false);
  EXPECT_EQ(m.destSuggestion(), std::nullopt);
}

TEST(Model, NextCamSkipsLabelsInUse) {
  ModelRig r;
  r.readyToGo();
  Model& m = r.make();
  EXPECT_EQ(m.nextCam(), "A캠");
  std::string a = r.card("C1", 1, 1), b = r.card("C2", 2, 2);
  r.mount(a);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(a); }));
  r.mount(b);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(b); }));
  EXPECT_EQ(r.at(a).cam, "A캠");
  EXPECT_EQ(r.at(b).cam, "B캠");
  EXPECT_EQ(m.nextCam(), "C캠");
}

}  // namespace
}  // namespace tolverdine
