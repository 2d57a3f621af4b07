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
  // Bounds are inclusive; a 1 s stereo clip fits both the slate and the insert: the first wins.
  for (auto [dur, ch, cls] : {std::tuple{2.0, 0, "슬레이트"},
                              {2.001, 0, "인서트"},
                              {600.0, 0, "풀샷"},
                              {599.9, 1, unsure},  // too long for an insert, mono
                              {300.0, 2, "인터뷰"},
                              {299.9, 2, unsure},
                              {1.0, 2, "슬레이트"}})
    EXPECT_EQ(classify(clip(dur, ch), rules, {}), cls) << dur;
  // No duration is never classified, not even by a rule without bounds.
  EXPECT_EQ(classify(clip(std::nullopt, 2), {R("모두")}, {}), unsure);
  EXPECT_EQ(classify(clip(5), {}, {}), unsure);
}

TEST(Rules, ModelIsComparedIgnoringCaseAndAbsentModelNeverFits) {
  Rule fx{"FX3", {}, {}, {}, std::string("ILME-FX3")};
  std::vector<Rule> rules = {fx, R("그 밖")};
  EXPECT_EQ(classify(clip(10), rules, std::string("ilme-fx3")), "FX3");
  EXPECT_EQ(classify(clip(10), rules, std::nullopt), "그 밖");
  Rule greek{"그리스", {}, {}, {}, std::string("ΚΆΜΕΡΑ")};
  EXPECT_EQ(classify(clip(10), {greek}, std::string("κάμερα")), "그리스");
}

TEST(Rules, RolesOverrideAllButSlatesAndUnknownLengths) {
  EXPECT_EQ(applyRole("인서트", clip(30), CameraRole::fixed), "풀샷");
  EXPECT_EQ(applyRole("인서트", clip(30), CameraRole::interview), "인터뷰");
  EXPECT_EQ(applyRole("슬레이트", clip(1), CameraRole::fixed), "슬레이트");
  EXPECT_EQ(applyRole(unsure, clip(std::nullopt), CameraRole::interview), unsure);
  for (CameraRole r : {CameraRole::none, CameraRole::fixed, CameraRole::interview})
    EXPECT_EQ(cameraRoleFromText(cameraRoleText(r)), r);
}

}  // namespace
}  // namespace tolverdine
