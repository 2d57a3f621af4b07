#include "engine/layout/presets.h"

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/layout/rules.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

Rule R(std::string cls, std::optional<double> maxSec = {}, std::optional<double> minSec = {},
       std::optional<int> minCh = {}, std::optional<std::string> model = {}) {
  return Rule{std::move(cls), maxSec, minSec, minCh, std::move(model)};
}

Meta clip(std::optional<double> dur, int ch = 0) { return {{}, dur, ch, {}, {}}; }

TEST(Rules, BoundsFirstRuleModelsAndRoles) {
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

  // A model is compared ignoring case; a clip of no known model never fits a model rule.
  Rule fx{"FX3", {}, {}, {}, std::string("ILME-FX3")};
  const std::vector<Rule> models = {fx, R("그 밖")};
  EXPECT_EQ(classify(clip(10), models, std::string("ilme-fx3")), "FX3");
  EXPECT_EQ(classify(clip(10), models, std::nullopt), "그 밖");
  Rule greek{"그리스", {}, {}, {}, std::string("ΚΆΜΕΡΑ")};
  EXPECT_EQ(classify(clip(10), {greek}, std::string("κάμερα")), "그리스");

  // A camera's role overrides all but slates and unknown lengths.
  EXPECT_EQ(applyRole("인서트", clip(30), CameraRole::fixed), "풀샷");
  EXPECT_EQ(applyRole("인서트", clip(30), CameraRole::interview), "인터뷰");
  EXPECT_EQ(applyRole("슬레이트", clip(1), CameraRole::fixed), "슬레이트");
  EXPECT_EQ(applyRole(unsure, clip(std::nullopt), CameraRole::interview), unsure);
  for (CameraRole r : {CameraRole::none, CameraRole::fixed, CameraRole::interview})
    EXPECT_EQ(cameraRoleFromText(cameraRoleText(r)), r);
}

const std::vector<Rule> mine = {R("짧은", 4.5, {}, {}), R("긴", {}, 100, 2, std::string("FX3"))};

TEST(Presets, DecodeLoadAllPrecedenceAndSaveCustom) {
  for (const char* bad :
       {"[]", "{\"a\": [{\"max_sec\": 2}]}", "{\"a\": [{\"class\": \"x\", \"min_ch\": 2.5}]}",
        "{\"a\": [{\"class\": \"x\", \"min_ch\": 99999999999}]}"})
    EXPECT_EQ(Presets::decode(bad), std::nullopt) << bad;
  auto ok = Presets::decode(
      R"({"a": [{"class": "x", "max_sec": null, "min_ch": 2.0, "model": "m"}], "b": []})");
  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, (PresetMap{{"a", {R("x", {}, {}, 2, std::string("m"))}}, {"b", {}}}));
  // encode and decode are inverse; a bound that is not finite cannot be written.
  EXPECT_EQ(Presets::decode(Presets::encode(Presets::defaults())), Presets::defaults());
  EXPECT_THROW(Presets::encode({{"n", {R("x", std::numeric_limits<double>::quiet_NaN())}}}),
               PresetEncodeError);

  TempDir d;
  std::string v0 = d.path + "/v0.json", custom = d.path + "/custom.json";
  EXPECT_EQ(Presets::loadAll(v0, custom), Presets::defaults());  // neither file
  writeFile(v0, "{\"old\": [{\"class\": \"옛\"}]}");
  writeFile(custom, "{\"new\": [{\"class\": \"새\"}], \"old\": [{\"class\": \"덮음\"}]}");
  // The older file replaces the built-ins; the custom one is merged on top.
  EXPECT_EQ(Presets::loadAll(v0, custom), (PresetMap{{"old", {R("덮음")}}, {"new", {R("새")}}}));
  // An older file without "class" counts as missing.
  writeFile(v0, "{\"old\": [{\"max_sec\": 1}]}");
  auto all = Presets::loadAll(v0, custom);
  EXPECT_EQ(all.size(), Presets::defaults().size() + 2);
  // A corrupt custom file adds nothing.
  writeFile(custom, "{\"new\": [");
  EXPECT_EQ(Presets::loadAll(v0, custom), Presets::defaults());
  EXPECT_EQ(Presets::rulesFor(all, "없는 이름"), Presets::defaults().at("default"));

  // Saving merges, starts a corrupt file afresh and fails loudly.
  custom = d.path + "/a/b/presets.json";
  Presets::saveCustom("mine", mine, custom);  // makes the folders
  Presets::saveCustom("other", {R("o")}, custom);
  all = Presets::loadAll(d.path + "/none.json", custom);
  EXPECT_EQ(std::pair(all.at("mine"), all.at("other")), std::pair(mine, std::vector{R("o")}));
  writeFile(custom, "garbage");
  Presets::saveCustom("third", {R("t")}, custom);
  const std::string text = slurp(custom);
  EXPECT_EQ(Presets::decode(text), (PresetMap{{"third", {R("t")}}}));
  // A map that cannot be encoded leaves the old file as it was.
  EXPECT_THROW(
      Presets::saveCustom("nan", {R("x", std::numeric_limits<double>::infinity())}, custom),
      PresetEncodeError);
  EXPECT_EQ(slurp(custom), text);
  EXPECT_EQ(shellOutput("ls -A '" + d.path + "/a/b'").out, "presets.json\n") << "a temporary left";
  EXPECT_THROW(Presets::saveCustom("x", mine, custom + "/sub/presets.json"), WriteFail);
}

}  // namespace
}  // namespace tolverdine
