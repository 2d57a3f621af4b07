// The verdicts that outlive the card list and their reports, and the decisions the pages take
// from them. A red card started again and a large file's live counts: the browser flow.
#include "app/card_run.h"
#include "app/choices.h"
#include "app/model_test_util.h"

namespace tolverdine {
namespace {

// The verdict outlives the card list: a green card ejected and unmounted keeps it, and its report
// opens by the finished card's key; a new card at the same mount point does not take it over.
// (Moves from the report and the library: Reclassify.* and the browser flow.)
TEST(ModelFinished, GreenCardEjectedKeepsItsVerdictAndReportButNotForTheNextCardThere) {
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
  ASSERT_TRUE(m.setReportCard(done.key));
  auto clips = m.reportClips();
  ASSERT_EQ(clips.size(), 2u);
  EXPECT_EQ(clips[0].path.rfind(done.job->roots.front() + "/", 0), 0u)
      << "on the first destination";

  r.card("A001", 1, 7);
  ASSERT_TRUE(r.waiting(card));
  EXPECT_FALSE(r.at(card).finishedKey);
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

}  // namespace
}  // namespace tolverdine
