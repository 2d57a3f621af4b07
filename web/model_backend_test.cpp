#include "web/model_backend.h"

#include <gtest/gtest.h>

#include "app/model_test_util.h"
#include "web/page_ops.h"

namespace tolverdine::web {
namespace {

using nlohmann::json;

// What the page flow does not reach: refusals, requests of the wrong shape, a failed export, rules
// saved as a preset. (A card's snapshot and operations, reports and thumbnails: the browser flow.)
TEST(ModelBackend, RefusalsWrongTypesAndRuleEditing) {
  ModelRig r;
  r.prefs.values["preset"] = "행사";
  Model& m = r.make();
  ModelBackend b(m, r.main);
  const json snap = b.snapshot();  // held: a loop over a temporary's member reads freed memory
  for (const auto& f : snap.at("settings")) {
    EXPECT_NE(f["key"], "eulaAccepted") << "the consent is no setting";
    if (f["key"] != "preset") continue;
    json presets = json::array();
    for (const auto& [name, rules] : m.presets())
      presets.push_back({{"value", name}, {"label", name}});
    EXPECT_EQ(f["choices"], presets) << "every preset, and only presets, can be chosen";
  }
  for (const auto& [op, args] : std::vector<std::pair<std::string, json>>{
           {"noSuchThing", json::object()},
           {"start", {{"id", "/nowhere"}}},
           {"setSetting", {{"key", "copies"}, {"value", "many"}}},
           {"addDestination", {{"path", "relative/dir"}, {"cascade", false}}},
           {"setRole", {{"cam", "A캠"}, {"role", "director"}}},
           {"openReport", {{"key", "job-99"}}},
           {"setLoginItem", {{"on", 1}}}})
    EXPECT_FALSE(b.perform(op, args).ok) << op;

  // The editor opens on the preset the jobs use; a learnt rule accepted meanwhile is saved too.
  EXPECT_EQ(b.snapshot()["rules"]["editingPreset"], "행사");
  m.acceptRule(Suggestion{"ILME-FX3", "인터뷰", 5});
  ASSERT_TRUE(b.perform("saveRules", {{"name", "행사"}}).ok);
  EXPECT_EQ(m.presets().at("행사").front(), (Rule{"인터뷰", {}, {}, {}, std::string("ILME-FX3")}));
  // Neither an empty list, nor a rule without a class, nor a blank name is saved.
  ASSERT_TRUE(b.perform("setRules", {{"rules", json::array()}}).ok);
  b.perform("saveRules", {{"name", "빈것"}});
  EXPECT_FALSE(b.perform("setRules", {{"rules", json::array({{{"max_sec", 2}}})}}).ok);
  ASSERT_TRUE(b.perform("setRules", {{"rules", json::array({{{"class", "인터뷰"}}})}}).ok);
  b.perform("saveRules", {{"name", "   "}});
  ASSERT_TRUE(b.perform("saveRules", {{"name", "토크쇼"}}).ok);
  EXPECT_EQ(m.presets().count("빈것") + m.presets().count("   "), 0u);
  EXPECT_EQ(m.presets().count("토크쇼"), 1u);
  EXPECT_EQ(b.snapshot()["rules"]["preset"], "행사");  // saving does not switch the active preset

  // The main loop carries every copy: a request of the wrong shape is answered, never thrown.
  const char* keys[] = {"id", "path", "replace", "key", "cascade", "value", "cam",  "role",
                        "on", "text", "model",   "cls", "rel",     "name",  "rules"};
  for (const json& wrong : {json(1), json(1.5), json("yes"), json::array({1}), json({{"a", 1}}),
                            json(nullptr), json(true)}) {
    json args = json::object();
    for (const char* k : keys) args[k] = wrong;
    for (auto op : pageOpNames())
      EXPECT_NO_THROW(b.perform(std::string(op), args)) << op << " " << wrong.dump();
  }
  EXPECT_TRUE(b.perform("search", {{"text", "C0001"}}).ok) << "still answering";

  // A failed export names the file chosen, not the temporary one.
  const std::string card = r.card("A001"), nowhere = r.tmp.path + "/no-folder/tree.txt";
  ASSERT_TRUE(r.waiting(card));
  EXPECT_NE(b.perform("exportTree", {{"id", card}, {"path", nowhere}}).message.find(nowhere + " "),
            std::string::npos);
}

}  // namespace
}  // namespace tolverdine::web
