#include "app/model.h"

#include <sqlite3.h>

#include <cstdlib>

#include "app/model_test_util.h"
#include "engine/card/scan.h"
#include "engine/hashlist/mhl_folder.h"
#include "engine/hashlist/mhl_verify.h"

namespace tolverdine {
namespace {

using namespace std::chrono_literals;

TEST(Model, NewCardCountsDownCopiesFinishesGreenEjectsAndIsKnownNextTime) {
  ModelRig r;
  r.prefs.values["autoStart"] = true;
  r.prefs.values["autoSeconds"] = 2;
  r.prefs.values["webhook"] = "https://hooks.example/x";
  Model& m = r.make();
  std::string card = r.card("A001", 2, 1, true);
  ASSERT_TRUE(r.waiting(card));
  EXPECT_EQ(r.at(card).phase.get<Phase::Waiting>()->countdown, 2);
  r.main.advance(3000ms);  // 2 -> 1 -> 0, then the start
  EXPECT_EQ(m.running(), 1);
  EXPECT_EQ(*r.sleepHeld, 1);
  auto* f = r.done(card);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->color, CardColor::green);
  EXPECT_EQ(m.running() + *r.sleepHeld, 0);
  ASSERT_EQ(r.webhook.calls.size(), 1u);
  EXPECT_EQ(r.webhook.calls[0].text, "[데모] A001 (A캠) — 🟢 " + f->text);
  EXPECT_TRUE(r.prefs.values.count("projectDate")) << "the first job fixes the project date";
  ASSERT_TRUE(r.waitFor([&] { return r.logged("추출: " + card); }));
  EXPECT_EQ(r.ejector.calls(), std::vector<std::string>{card});
  // The library's search file holds the card's rows once the job is done.
  sqlite3* search = nullptr;
  int indexed = -1;  // stays so when the search file cannot be opened
  sqlite3_open_v2(Store::searchIndexPath(r.tmp.path + "/state.db").c_str(), &search,
                  SQLITE_OPEN_READONLY, nullptr);
  sqlite3_exec(
      search, "SELECT count(*) FROM copy_text",
      [](void* n, int, char** v, char**) { return *static_cast<int*>(n) = std::atoi(v[0]), 0; },
      &indexed, nullptr);
  sqlite3_close(search);
  EXPECT_EQ(indexed, 4) << "two files on two destinations";

  // The eject's unmount removes it, its verdict and report stay; the same card again is known and
  // cleared at once.
  r.unmount(card);
  EXPECT_EQ(m.card(card), nullptr);
  ASSERT_EQ(m.finishedCards().size(), 1u);
  ASSERT_TRUE(m.setReportCard(m.finishedCards()[0].key));
  EXPECT_EQ(m.reportClips().size(), 2u);
  r.mount(card);
  r.mount(card);  // a repeated event changes nothing
  EXPECT_EQ(m.cards().size(), 1u);
  ASSERT_TRUE(r.done(card));
  EXPECT_EQ(r.finished(card)->color, CardColor::green);
  r.unmount(card);

  // The project folder deleted on the second destination, which stays there: the card says why
  // it is not cleared.
  ASSERT_TRUE(r.settle());
  ASSERT_EQ(sh("rm -rf '" + r.dest2() + "'/*"), 0);
  ASSERT_TRUE(r.waiting(card));
  EXPECT_TRUE(r.at(card).note);  // says why the copies do not count
  EXPECT_EQ(r.finished(card), nullptr);
  EXPECT_FALSE(r.at(card).finishedKey) << "an earlier verdict is not taken over";
}

// A start needs the terms accepted and a project with destinations; a card shot on another day
// than the project's stops until the user starts it anyway; a held card never starts by itself.
TEST(Model, StartNeedsConsentReadinessAndTheProjectDateAndHoldStopsTheCountdown) {
  ModelRig r;
  r.prefs.values.erase("eulaAccepted");
  r.prefs.values["autoStart"] = true;
  r.prefs.values["projectDate"] = "19990101";
  Model& m = r.make();
  std::string card = r.card("A001");
  ASSERT_TRUE(r.waiting(card));
  EXPECT_TRUE(r.at(card).phase.get<Phase::Waiting>()->countdown);
  m.hold(card);
  EXPECT_EQ(r.at(card).phase.get<Phase::Waiting>()->countdown, std::nullopt);
  r.main.advance(20s);
  EXPECT_TRUE(r.in<Phase::Waiting>(card));  // held: nothing starts by itself

  m.start(card, false);
  EXPECT_TRUE(r.in<Phase::Waiting>(card) && r.at(card).note) << "refused without the terms";
  m.acceptEULA();
  m.setSetting("project", "  ");
  m.start(card, false);
  EXPECT_TRUE(r.in<Phase::Waiting>(card)) << "refused without a project";

  m.setSetting("project", "데모");
  m.start(card, false);
  ASSERT_TRUE(r.waitFor([&] { return r.at(card).dateMismatch; }));
  EXPECT_EQ(r.at(card).phase.get<Phase::Waiting>()->countdown, std::nullopt);
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
    r.prefs.values["parallel"] = parallel;
    // Different file counts: cards with the same names, sizes and times are one card.
    std::string a1 = r.card("A1", 1, 10), a2 = r.card("A2", 2, 20), b = r.card("B1", 3, 30);
    {
      Store s(r.tmp.path + "/state.db");  // two cards remembered under the same label
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
    ASSERT_TRUE(r.waitFor([&] { return r.finished(a1) && r.finished(a2) && r.finished(b); }));
  }
}

TEST(Model, TwinCardWaitsForTheUserAndIsClearedOnlyWithEnoughCopies) {
  ModelRig r;
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
  EXPECT_TRUE(r.at(slot2).status.is<CardStatus::Twin>());
  EXPECT_EQ(r.at(slot2).phase.get<Phase::Waiting>()->countdown, std::nullopt);  // never by itself
  m.verifyTwinCard(slot2);
  ASSERT_TRUE(r.done(slot2));
  EXPECT_EQ(r.finished(slot2)->color, CardColor::green) << r.finished(slot2)->text;

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
// unmount event reaching us) stays yellow; a second copy whose hash list cannot be written is
// shown as trouble; a card that cannot be listed in full is never cleared: not by its job, not
// by the second copy, not by its record at the next mount.
TEST(Model, SecondCopyFillsTheGapOfAYellowCardAndSaysWhatItCouldNotList) {
  enum Row { swapped, clean, noList, partial };
  for (Row row : {swapped, clean, noList, partial}) {
    SCOPED_TRACE(row);
    ModelRig r;
    std::string nas = r.secondCopyNeeded();
    Model& m = r.make();
    std::string card = r.card("A001");
    r.volumes[card] = "VOL-1";
    ASSERT_TRUE(r.copyThrough(card));
    ASSERT_EQ(r.finished(card)->color, CardColor::yellow);
    auto notGreen = [&] {
      return !r.finished(card) || r.finished(card)->color != CardColor::green;
    };
    if (row == swapped) r.volumes[card] = "VOL-2";
    if (row == noList) {
      // A file where the hash-list folder belongs: the copies land, their list cannot be written.
      const std::string project = nas + "/" + listFolder(r.dest1()).at(0);
      mkdirs(project);
      writeFile(project + "/ascmhl", "not a folder");
    }
    if (row == partial) {
      r.unlistable(card + "/DCIM");
      r.unmount(card);
      ASSERT_TRUE(r.copyThrough(card));
      EXPECT_TRUE(r.at(card).incomplete && notGreen()) << r.finished(card)->text;
    }
    // An empty second-copy target that is not there is skipped; the one that is gets the copy.
    m.addDest(r.tmp.path + "/unplugged", true);
    m.addDest(nas, true);
    ASSERT_TRUE(r.cascaded());
    if (row == noList) {
      // Both primaries are offered to the one target, and neither run could list its copies.
      EXPECT_EQ(m.cascadeNote(), "2차 복사 2개 · 해시 목록 실패 2곳 — 로그 확인");
      EXPECT_TRUE(std::any_of(r.notifier.calls.begin(), r.notifier.calls.end(),
                              [](const auto& n) { return n.critical; }));
      continue;
    }
    EXPECT_EQ(m.cascadeNote(), "2차 복사 2개");
    if (row != clean) {
      EXPECT_TRUE(row == partial ? notGreen() : r.finished(card)->color == CardColor::yellow);
      if (row == partial) {
        r.unmount(card);
        r.mount(card);
        ASSERT_TRUE(r.settle());
        EXPECT_TRUE(r.at(card).incomplete && notGreen()) << "known by its record";
      }
      continue;
    }
    ASSERT_TRUE(r.waitFor([&] { return r.finished(card)->color == CardColor::green; }));
    // The second copy carries a hash list naming both files, as the mirror command's does.
    std::vector<std::string> folders = listFolder(nas);
    ASSERT_EQ(folders.size(), 1u);
    MHLVerifyReport listed = verifyMHL(nas + "/" + folders[0]);
    EXPECT_TRUE(listed.clean() && listed.files.size() == 2 && listed.unlisted.empty());
  }
}

TEST(Model, MountedVolumesAreCardsGenericMediaOrLeftAloneAndAPulledCardStaysListed) {
  ModelRig r;
  Model& m = r.make();
  // Which volumes are cards or generic media: CardDetect.*; here the model follows the decision.
  const std::string bigCard = r.card("BIGCARD"), fixedCard = r.card("FIXED");
  r.capacities[bigCard] = 4'000'000'000'000;        // a card is a card at any size
  const std::string small = r.tmp.path + "/SMALL";  // removable media of 64 GB without a camera
  writePattern(small + "/backup/file.bin", 100, 1);
  for (const auto& p : {bigCard, small}) r.mount(p);
  r.mount(fixedCard, false);
  EXPECT_TRUE(m.card(bigCard) && !m.card(bigCard)->generic);
  EXPECT_TRUE(m.card(small) && m.card(small)->generic);
  EXPECT_EQ(m.card(fixedCard), nullptr);

  // A card pulled during its job stays listed, with nothing to eject; another card mounted at the
  // same place is read, not ignored.
  ASSERT_TRUE(r.settle());
  m.start(bigCard, false);
  ASSERT_TRUE(r.in<Phase::Running>(bigCard));
  r.unmount(bigCard);
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
  // Reading goes on as a new card; the job and the slot comparison end red.
  Model& n = r.make("/proc/self/no-such-dir/state.db");
  std::string card = r.card("A001");
  ASSERT_TRUE(r.copyThrough(card));
  EXPECT_EQ(r.finished(card)->color, CardColor::red);
  EXPECT_EQ(n.running() + *r.sleepHeld, 0);
  EXPECT_TRUE(r.notifier.calls.back().critical);
  EXPECT_TRUE(r.ejector.calls().empty());
  n.verifyTwinCard(card);
  ASSERT_TRUE(r.done(card));
  EXPECT_EQ(r.finished(card)->color, CardColor::red);
}

}  // namespace
}  // namespace tolverdine
