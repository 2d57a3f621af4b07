// The verdicts that outlive the card list, their reports and the library, the live byte counts
// of a running job, starting a finished card again, and the decisions the pages take from them.
#include <unistd.h>

#include <filesystem>

#include "app/card_actions.h"
#include "app/card_run.h"
#include "app/choices.h"
#include "app/model_test_util.h"

namespace tolverdine {
namespace {

TEST(ModelFinished, GreenCardEjectedKeepsItsVerdictAndItsReportMovesClipsOnBothDrives) {
  ModelRig r;
  r.readyToGo();  // ejectOnGreen unset: a green card is ejected
  Model& m = r.make();
  std::string card = r.card("A001", 2, 1, true);
  const Phase::Finished* f = r.copyThrough(card);
  ASSERT_TRUE(f);
  ASSERT_EQ(f->color, CardColor::green) << f->text;
  ASSERT_TRUE(r.waitFor([&] { return r.ejector.calls().size() == 1; }));
  r.unmount(card);
  ASSERT_EQ(m.card(card), nullptr) << "the list keeps only mounted cards";
  ASSERT_EQ(m.finishedCards().size(), 1u);
  const FinishedCard& done = m.finishedCards()[0];
  EXPECT_EQ(done.name + " " + done.cam, "A001 A캠");
  EXPECT_EQ(done.color, CardColor::green);
  ASSERT_EQ(done.outcomes.size(), 2u);
  for (const auto& d : done.outcomes)
    EXPECT_TRUE(d.verified == 2 && d.failed == 0 && !d.lost) << d.root;
  ASSERT_TRUE(done.job);
  const std::string first = done.job->roots.front();

  // Its report opens by the finished card's key although the card is gone.
  m.setReportCard(done.key);
  auto clips = m.reportClips();
  ASSERT_EQ(clips.size(), 2u);
  EXPECT_EQ(clips[0].path.rfind(first + "/", 0), 0u) << "clips lie on the first destination";
  m.spotCheck();
  EXPECT_EQ(r.opener.opened.size(), 2u) << "two clips: each opened once";
  // A move refused at the destination (another file at the new place) leaves the class shown.
  const std::string before = clips[0].row.cls, to = before == "인터뷰" ? "풀샷" : "인터뷰";
  std::string blocker = clips[0].path;
  blocker.replace(blocker.find("/" + before + "/"), before.size() + 2, "/" + to + "/");
  ASSERT_TRUE(mkdirs(parentPath(blocker)));
  writeFile(blocker, "someone else's");
  EXPECT_FALSE(m.reclassifyClip(clips[0].row, to));
  EXPECT_EQ(m.reportClips()[0].row.cls, before);
  ASSERT_EQ(::unlink(blocker.c_str()), 0);
  EXPECT_TRUE(m.reclassifyClip(clips[0].row, to)) << m.libraryNote().value_or("");
  clips = m.reportClips();
  EXPECT_EQ(clips[0].row.cls, to);
  EXPECT_TRUE(std::filesystem::exists(clips[0].path)) << clips[0].path;

  // The copy on the second drive moves through the library.
  m.runSearch("C0001");
  ASSERT_EQ(m.hits().size(), 2u);
  for (const auto& h : m.hits())
    if (h.dest != first) m.reclassifyHit(h, to);
  for (const auto& h : m.hits())
    EXPECT_NE(h.classPath().find("/" + to + "/"), std::string::npos) << h.classPath();

  // A new card at the same mount point does not take over the old card's report.
  r.card("A001", 1, 7);
  ASSERT_TRUE(r.waiting(card));
  EXPECT_FALSE(r.at(card).finishedKey);
}

TEST(ModelFinished, RedCardNamesItsDestinationsAndIsStartedAgainOnceFixed) {
  ModelRig r;
  r.readyToGo();
  const std::string missing = r.tmp.path + "/later";
  r.prefs.values["dests"] = {r.dest1(), missing};
  Model& m = r.make();
  std::string card = r.card("B001");
  const Phase::Finished* f = r.copyThrough(card);
  ASSERT_TRUE(f);
  ASSERT_EQ(f->color, CardColor::red);
  EXPECT_NE(f->text.find(missing), std::string::npos) << f->text;
  EXPECT_EQ(cardActions(r.at(card), false)[0].label, "다시 시작");
  mkdirs(missing);
  m.start(card, false);
  ASSERT_TRUE(
      r.waitFor([&] { return r.finished(card) && r.finished(card)->color != CardColor::red; }));
  EXPECT_EQ(r.finished(card)->color, CardColor::green);
  ASSERT_EQ(m.finishedCards().size(), 2u) << "each run keeps its own verdict";
  EXPECT_EQ(m.finishedCards()[1].color, CardColor::red);
}

TEST(ModelFinished, DestinationOutcomesAndClassesOfClassifiedPaths) {
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
  for (auto [path, cls] : std::vector<std::pair<std::string, std::optional<std::string>>>{
           {"01_원본/A캠/1_0930-1015/풀샷/C0012.MP4", "풀샷"},
           {"01_FOOTAGE/A캠/1_0930-1015/INTERVIEW/C0012.MP4", "인터뷰"},
           {"03_사진/A캠/DSC00001.JPG", std::nullopt},
           {"C0001.MP4", std::nullopt}})
    EXPECT_EQ(classOfPath(path), cls) << path;
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
  ASSERT_TRUE(r.waiting(card));
  // Once the copies are done the hash lists and reports are written: that stage is shown, with no
  // speed or time left standing from the copy.
  bool outputsStage = false, whole = false;
  m.observe([&](Model::Change) {
    const CardItem* c = m.card(card);
    // Seen here, not by the poll below: the last count and the verdict may land in one batch.
    if (c && c->live && c->live->copied == size) whole = true;
    if (c && c->live && c->live->stage == "해시 목록·리포트") {
      outputsStage = true;
      EXPECT_FALSE(c->live->rate);
      EXPECT_FALSE(c->live->secondsLeft);
    }
  });
  m.start(card, false);
  std::set<int64_t> copiedMid, verifiedMid;
  std::set<std::string> stages;
  bool rate = false, left = false;
  ASSERT_TRUE(r.waitFor(
      [&] {
        if (const CardItem* c = m.card(card); c && c->live) {
          const LiveBytes& l = *c->live;
          EXPECT_EQ(l.total, size);
          if (l.copied > 0 && l.copied < size) copiedMid.insert(l.copied);
          if (l.verified > 0 && l.verified < size) verifiedMid.insert(l.verified);
          stages.insert(l.stage);
          rate = rate || (l.rate && *l.rate > 0);
          left = left || l.secondsLeft.has_value();
        }
        return r.finished(card) != nullptr;
      },
      120));
  EXPECT_EQ(r.finished(card)->color, CardColor::green) << r.finished(card)->text;
  EXPECT_TRUE(whole) << "the run's byte counts reach the card";
  EXPECT_GE(copiedMid.size(), 2u) << "the copy's count moved within the file";
  EXPECT_GE(verifiedMid.size(), 1u) << "the read-back's count moved within the file";
  // Read-backs follow the card's read, so "검증" alone may last too briefly to be seen.
  EXPECT_TRUE(stages.count("복사"));
  EXPECT_TRUE(outputsStage && rate && left);
  EXPECT_FALSE(r.at(card).live) << "a finished card shows no live counts";
}

}  // namespace
}  // namespace tolverdine
