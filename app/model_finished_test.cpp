// The verdicts that outlive the card list, the live byte counts of a running job, starting a
// finished card again, and the decisions the pages take from the model.
#include <unistd.h>

#include <filesystem>

#include "app/card_actions.h"
#include "app/card_run.h"
#include "app/choices.h"
#include "app/model_test_util.h"

namespace tolverdine {
namespace {

std::vector<std::string> ops(const CardItem& c, bool hasReport) {
  std::vector<std::string> out;
  for (const auto& a : cardActions(c, hasReport)) out.push_back(a.op);
  return out;
}

TEST(ModelFinished, GreenCardEjectedKeepsItsVerdictOutcomesAndReport) {
  if (::access("/usr/bin/ffmpeg", X_OK) != 0) GTEST_SKIP() << "ffmpeg not installed";
  ModelRig r;
  r.readyToGo();  // ejectOnGreen unset: a green card is ejected
  Model& m = r.make();
  std::string card = r.clipCard("A001");
  ASSERT_FALSE(card.empty());
  const Phase::Finished* f = r.copyThrough(card);
  ASSERT_TRUE(f);
  ASSERT_EQ(f->color, CardColor::green) << f->text;
  ASSERT_TRUE(r.waitFor([&] { return r.ejector.calls().size() == 1; }));
  r.unmount(card);
  ASSERT_EQ(m.card(card), nullptr) << "the list keeps only mounted cards";

  ASSERT_EQ(m.finishedCards().size(), 1u);
  const FinishedCard& done = m.finishedCards()[0];
  EXPECT_EQ(done.name, "A001");
  EXPECT_EQ(done.cam, "A캠");
  EXPECT_EQ(done.color, CardColor::green);
  EXPECT_NE(done.text.find("카메라에서 포맷하세요"), std::string::npos);
  ASSERT_EQ(done.outcomes.size(), 2u);
  for (const auto& d : done.outcomes) {
    EXPECT_EQ(d.verified, 2) << d.root;
    EXPECT_EQ(d.failed, 0);
    EXPECT_FALSE(d.lost);
  }
  ASSERT_TRUE(done.job);

  // Its report opens by the finished card's key and moves a clip although the card is gone.
  m.setReportCard(done.key);
  EXPECT_EQ(m.reportName(), "A001");
  auto clips = m.reportClips();
  ASSERT_EQ(clips.size(), 2u);
  const std::string to = clips[0].row.cls == "인터뷰" ? "풀샷" : "인터뷰";
  EXPECT_TRUE(m.reclassifyClip(clips[0].row, to)) << m.libraryNote().value_or("");
  EXPECT_EQ(m.reportClips()[0].row.cls, to);
  EXPECT_TRUE(std::filesystem::exists(m.reportClips()[0].path));
  EXPECT_EQ(m.libraryNote(), "옮김: C0001.MP4 → " + to);

  // A new card at the same mount point does not take over the old card's report.
  r.card("A001", 1, 7);
  r.mount(card);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(card); }));
  EXPECT_EQ(ops(r.at(card), false), (std::vector<std::string>{"start", "exportTree", "dismiss"}));
  EXPECT_FALSE(r.at(card).finishedKey);
  // Earlier cards come from the database.
  EXPECT_EQ(m.history().size(), 1u);
}

TEST(ModelFinished, RedCardNamesItsDestinationsAndIsStartedAgainOnceFixed) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["ejectOnGreen"] = false;
  const std::string missing = r.tmp.path + "/later";
  r.prefs.values["dests"] = {r.dest1(), missing};
  Model& m = r.make();
  std::string card = r.card("B001");
  const Phase::Finished* f = r.copyThrough(card);
  ASSERT_TRUE(f);
  ASSERT_EQ(f->color, CardColor::red);
  EXPECT_NE(f->text.find(missing), std::string::npos) << f->text;
  EXPECT_EQ(ops(r.at(card), false), (std::vector<std::string>{"start", "exportTree", "dismiss"}));
  EXPECT_EQ(cardActions(r.at(card), false)[0].label, "다시 시작");

  mkdirs(missing);
  m.start(card, false);
  ASSERT_TRUE(r.waitFor([&] {
    return r.finished(card) && r.finished(card)->color == CardColor::green;
  })) << (r.finished(card) ? r.finished(card)->text : "");
  ASSERT_EQ(m.finishedCards().size(), 2u) << "each run keeps its own verdict";
  EXPECT_EQ(m.finishedCards()[0].color, CardColor::green);
  EXPECT_EQ(m.finishedCards()[1].color, CardColor::red);
  EXPECT_EQ(ops(r.at(card), true), (std::vector<std::string>{"report", "exportTree", "dismiss"}));
  // A running or queued card is not started twice.
  CardItem running = r.at(card);
  running.phase.value = Phase::Running{1, 2, "x"};
  EXPECT_TRUE(cardActions(running, true).empty());
}

TEST(ModelFinished, DestinationOutcomesNameFailuresAndLosses) {
  IngestResult res;
  res.verified["/a/P"] = {Verified{}, Verified{}};
  res.failed = {{"x/1", "/b/P", "No space left on device"}, {"x/2", "/b/P", "other"}};
  res.lostDests = {"/c/P"};
  auto out = destOutcomes(res, {"/a/P", "/b/P", "/c/P"}, 3);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].verified, 2);
  EXPECT_EQ(out[0].failed, 0);
  EXPECT_EQ(out[0].existing, 1) << "held already from the run before the retry";
  EXPECT_EQ(out[1].failed, 2);
  EXPECT_EQ(out[1].why, "No space left on device");
  EXPECT_FALSE(out[1].lost);
  EXPECT_TRUE(out[2].lost);
}

TEST(ModelFinished, ClassOfAClassifiedPathInEitherFolderSet) {
  EXPECT_EQ(classOfPath("01_원본/A캠/1_0930-1015/풀샷/C0012.MP4"), "풀샷");
  EXPECT_EQ(classOfPath("01_FOOTAGE/A캠/1_0930-1015/INTERVIEW/C0012.MP4"), "인터뷰");
  EXPECT_EQ(classOfPath("01_원본/A캠/1_0930-1015/슬레이트/C0001.MP4"), "슬레이트");
  EXPECT_EQ(classOfPath("03_사진/A캠/DSC00001.JPG"), std::nullopt);
  EXPECT_EQ(classOfPath("C0001.MP4"), std::nullopt);
  EXPECT_EQ(classNames().size(), 5u);
}

// Needs the run to report bytes within a file (every block); a run that reports once per file
// leaves the counts standing still and fails here.
TEST(ModelFinished, LargeFileProgressMovesWithinTheFileThroughCopyAndReadBack) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["ejectOnGreen"] = false;
  // One destination on the disk: a memory drive reads back too fast to be seen moving.
  mkdirs(r.tmp.path + "/disk");
  r.prefs.values["dests"] = {r.tmp.path + "/disk"};
  r.prefs.values["copies"] = 1;
  Model& m = r.make();
  std::string card = r.tmp.path + "/BIG";
  mkdirs(card + "/PRIVATE/M4ROOT/CLIP");
  const int64_t size = 512LL << 20;
  writePattern(card + "/PRIVATE/M4ROOT/CLIP/C0001.MP4", size, 3);
  r.mount(card);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(card); }));
  // Once the copies are done the hash lists and reports are written: that stage is shown, with no
  // speed or time left standing from the copy.
  bool outputsStage = false;
  m.observe([&](Model::Change) {
    const CardItem* c = m.card(card);
    if (c && c->live && c->live->stage == "해시 목록·리포트") {
      outputsStage = true;
      EXPECT_FALSE(c->live->rate);
      EXPECT_FALSE(c->live->secondsLeft);
    }
  });
  m.start(card, false);
  std::set<int64_t> copiedMid, verifiedMid;
  std::set<std::string> stages;
  bool rate = false, left = false, whole = false;
  ASSERT_TRUE(r.waitFor(
      [&] {
        const CardItem* c = m.card(card);
        if (c && c->live) {
          const LiveBytes& l = *c->live;
          EXPECT_EQ(l.total, size);
          if (l.copied > 0 && l.copied < size) copiedMid.insert(l.copied);
          if (l.verified > 0 && l.verified < size) verifiedMid.insert(l.verified);
          stages.insert(l.stage);
          rate = rate || (l.rate && *l.rate > 0);
          left = left || l.secondsLeft.has_value();
          whole = whole || l.copied == size;
        }
        return r.finished(card) != nullptr;
      },
      120));
  EXPECT_EQ(r.finished(card)->color, CardColor::green) << r.finished(card)->text;
  EXPECT_TRUE(whole) << "the run's byte counts reach the card";
  EXPECT_GE(copiedMid.size(), 2u) << "the copy's count moved within the file";
  EXPECT_GE(verifiedMid.size(), 1u) << "the read-back's count moved within the file";
  EXPECT_TRUE(stages.count("복사") && stages.count("검증"));
  EXPECT_TRUE(outputsStage);
  EXPECT_TRUE(rate);
  EXPECT_TRUE(left);
  EXPECT_FALSE(r.at(card).live) << "a finished card shows no live counts";
}

}  // namespace
}  // namespace tolverdine
