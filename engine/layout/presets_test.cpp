#include "engine/layout/presets.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

Rule R(std::string cls, std::optional<double> maxSec = {}, std::optional<double> minSec = {},
       std::optional<int> minCh = {}, std::optional<std::string> model = {}) {
  return Rule{std::move(cls), maxSec, minSec, minCh, std::move(model)};
}

const std::vector<Rule> mine = {R("짧은", 4.5, {}, {}), R("긴", {}, 100, 2, std::string("FX3"))};

TEST(Presets, DecodeRejectsWhatIsNotAPresetMap) {
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
}

TEST(Presets, LoadAllPrecedence) {
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
}

TEST(Presets, SaveCustomMergesStartsCorruptFilesAfreshAndFailsLoudly) {
  TempDir d;
  std::string custom = d.path + "/a/b/presets.json";
  Presets::saveCustom("mine", mine, custom);  // makes the folders
  Presets::saveCustom("other", {R("o")}, custom);
  auto all = Presets::loadAll(d.path + "/none.json", custom);
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
