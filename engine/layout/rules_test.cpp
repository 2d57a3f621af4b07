#include "engine/layout/rules.h"

#include <gtest/gtest.h>

#include "engine/layout/presets.h"

namespace tolverdine {
namespace {

Rule R(std::string cls, std::optional<double> maxSec = {}, std::optional<double> minSec = {},
       std::optional<int> minCh = {}, std::optional<std::string> model = {}) {
  return Rule{std::move(cls), maxSec, minSec, minCh, std::move(model)};
}

Meta clip(std::optional<double> dur, int ch = 0) {
  Meta m;
  m.dur = dur;
  m.ch = ch;
  return m;
}

TEST(Rules, DefaultPresetBoundsAreInclusiveAndFirstRuleWins) {
  auto rules = Presets::defaults().at("default");
  EXPECT_EQ(classify(clip(2), rules, {}), "슬레이트");  // max_sec 2 is inclusive
  EXPECT_EQ(classify(clip(2.001), rules, {}), "인서트");
  EXPECT_EQ(classify(clip(600), rules, {}), "풀샷");       // min_sec 600 is inclusive
  EXPECT_EQ(classify(clip(599.9, 1), rules, {}), unsure);  // too long for an insert, mono
  EXPECT_EQ(classify(clip(300, 2), rules, {}), "인터뷰");
  EXPECT_EQ(classify(clip(299.9, 2), rules, {}), unsure);
  EXPECT_EQ(classify(clip(120, 2), rules, {}), "인서트");
  // A 1 s stereo clip fits both the slate and the insert: the first listed wins.
  EXPECT_EQ(classify(clip(1, 2), rules, {}), "슬레이트");
  // No duration is never classified, not even by a rule without bounds.
  EXPECT_EQ(classify(clip(std::nullopt, 2), {R("모두")}, {}), unsure);
  EXPECT_EQ(classify(clip(5), {}, {}), unsure);
  EXPECT_EQ(classify(clip(5), {R("모두")}, {}), "모두");
}

TEST(Rules, ModelIsComparedIgnoringCaseAndAbsentModelNeverFits) {
  Rule fx{"FX3", {}, {}, {}, std::string("ILME-FX3")};
  std::vector<Rule> rules = {fx, R("그 밖")};
  EXPECT_EQ(classify(clip(10), rules, std::string("ilme-fx3")), "FX3");
  EXPECT_EQ(classify(clip(10), rules, std::string("ILME-FX6")), "그 밖");
  EXPECT_EQ(classify(clip(10), rules, std::nullopt), "그 밖");
  Rule greek{"그리스", {}, {}, {}, std::string("ΚΆΜΕΡΑ")};
  EXPECT_EQ(classify(clip(10), {greek}, std::string("κάμερα")), "그리스");
}

TEST(Rules, RolesOverrideAllButSlatesAndUnknownLengths) {
  EXPECT_EQ(applyRole("인서트", clip(30), CameraRole::fixed), "풀샷");
  EXPECT_EQ(applyRole("인서트", clip(30), CameraRole::interview), "인터뷰");
  EXPECT_EQ(applyRole("인서트", clip(30), CameraRole::none), "인서트");
  EXPECT_EQ(applyRole("슬레이트", clip(1), CameraRole::fixed), "슬레이트");
  EXPECT_EQ(applyRole(unsure, clip(std::nullopt), CameraRole::interview), unsure);
  for (CameraRole r : {CameraRole::none, CameraRole::fixed, CameraRole::interview})
    EXPECT_EQ(cameraRoleFromText(cameraRoleText(r)), r);
  EXPECT_EQ(cameraRoleFromText("Fixed"), std::nullopt);
}

}  // namespace
}  // namespace tolverdine
