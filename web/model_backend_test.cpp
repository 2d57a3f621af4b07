#include "web/model_backend.h"

#include <gtest/gtest.h>

#include <future>

#include "app/model_test_util.h"
#include "app/settings.h"
#include "web/page_ops.h"
#include "web/setting_labels.h"

namespace tolverdine::web {
namespace {

using nlohmann::json;

json ops(const json& card) {
  json out = json::array();
  for (const auto& a : card["actions"]) out.push_back(a["op"]);
  return out;
}

json cardOf(const json& s, const std::string& id) {
  for (const auto& c : s["cards"])
    if (c["id"] == id) return c;
  return json();
}

TEST(ModelBackend, SnapshotFollowsTheCardAndOperationsReachTheModel) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["parallel"] = 1;
  Model& m = r.make();
  ModelBackend b(m, r.main);
  int changes = 0;
  b.subscribe([&](Change) { ++changes; });
  const std::string card = r.card("A001"), other = r.card("B1", 1, 2);
  r.links.setAnswer(ReaderLink{"USB3 Reader", 5'000'000'000LL});
  ASSERT_TRUE(r.waiting(card) && r.waiting(other));
  EXPECT_GT(changes, 0);

  json s = b.snapshot();
  json c = cardOf(s, card);
  EXPECT_EQ(c["phase"], "waiting");
  EXPECT_EQ(c["cam"], "A캠");
  EXPECT_EQ(c["countdown"], nullptr);
  EXPECT_EQ(ops(c), json({"start", "exportTree", "dismiss"}));
  EXPECT_EQ(c["actions"][0]["label"], "시작");
  EXPECT_EQ(c["link"], "리더가 5Gbps로 연결됨 — 빠른 카드는 제 속도가 안 납니다");
  EXPECT_EQ(s["menu"]["title"], "TOLVERDINE 2");
  EXPECT_EQ(s["ready"], true);
  EXPECT_EQ(s["dests"][0]["path"], r.dest1());
  for (const auto& f : s["settings"]) {
    EXPECT_NE(f["key"], "eulaAccepted") << "the consent is no setting";
    EXPECT_TRUE(f["key"] != "copies" || f["value"] == 2);
    if (f["key"] != "preset") continue;
    json presets = json::array();
    for (const auto& [name, rules] : m.presets())
      presets.push_back({{"value", name}, {"label", name}});
    EXPECT_EQ(f["choices"], presets) << "every preset, and only presets, can be chosen";
    EXPECT_GE(presets.size(), 2u);
  }

  for (const auto& [op, args] : std::vector<std::pair<std::string, json>>{
           {"noSuchThing", json::object()},
           {"start", {{"id", "/nowhere"}}},
           {"setSetting", {{"key", "copies"}, {"value", "many"}}},
           {"addDestination", {{"path", "relative/dir"}, {"cascade", false}}},
           {"setRole", {{"cam", "A캠"}, {"role", "director"}}},
           {"openReport", {{"key", "job-99"}}}})
    EXPECT_FALSE(b.perform(op, args).ok) << op;
  EXPECT_TRUE(b.perform("setSetting", {{"key", "operator"}, {"value", "김"}}).ok);
  EXPECT_EQ(r.prefs.values["operator"], "김");

  // One card at a time: the second says what it waits for.
  ASSERT_TRUE(b.perform("start", {{"id", card}}).ok);
  ASSERT_TRUE(b.perform("start", {{"id", other}}).ok);
  EXPECT_EQ(cardOf(b.snapshot(), card)["phase"], "running");
  EXPECT_EQ(ops(cardOf(b.snapshot(), card)), json::array());
  EXPECT_EQ(cardOf(b.snapshot(), other)["wait"], "앞 카드가 끝나기를 기다리는 중 (동시 복사 1장)");
  ASSERT_TRUE(r.waitFor([&] { return r.finished(card) && r.finished(other); }));
  s = b.snapshot();
  c = cardOf(s, card);
  EXPECT_EQ(c["color"], "green");
  EXPECT_EQ(ops(c), json({"report", "exportTree", "dismiss"}));
  EXPECT_EQ(s["menu"]["title"], "포맷 가능 2");

  // A failed export names the file chosen, not the temporary one, and says why in Korean.
  const std::string nowhere = r.tmp.path + "/no-folder/tree.txt";
  EXPECT_EQ(b.perform("exportTree", {{"id", card}, {"path", nowhere}}).message,
            "저장 실패: " + nowhere + " · 파일이나 폴더가 없습니다 (No such file or directory)");

  // A report lists photos-only cards as no clips.
  ASSERT_TRUE(b.perform("openReport", {{"key", c["report"]}}).ok);
  s = b.snapshot();
  EXPECT_EQ(s["report"]["name"], "A001");
  EXPECT_EQ(s["report"]["verdict"]["color"], "green");
  EXPECT_EQ(s["report"]["clips"], json::array());
  // Asked from a server thread, answered by the main thread; a photo is not a listed clip.
  auto thumb = std::async(std::launch::async,
                          [&] { return b.thumbnail(card + "/DCIM/100MSDCF/DSC00001.JPG"); });
  ASSERT_TRUE(r.waitFor(
      [&] { return thumb.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 5));
  EXPECT_EQ(thumb.get(), std::nullopt);
  b.perform("openReportFolder", json::object());
  ASSERT_EQ(r.opener.opened.size(), 1u);
  EXPECT_NE(r.opener.opened[0].find(r.dest1()), std::string::npos);
}

// The main loop carries every copy: a request of the wrong shape is answered, never thrown.
TEST(ModelBackend, EveryOperationAnswersArgumentsOfTheWrongType) {
  ModelRig r;
  r.readyToGo();
  ModelBackend b(r.make(), r.main);
  const char* keys[] = {"id", "path", "replace", "key", "cascade", "value", "cam",  "role",
                        "on", "text", "model",   "cls", "rel",     "name",  "rules"};
  for (const json& wrong : {json(1), json(1.5), json("yes"), json::array({1}), json({{"a", 1}}),
                            json(nullptr), json(true)}) {
    json args = json::object();
    for (const char* k : keys) args[k] = wrong;
    for (auto op : pageOpNames())
      EXPECT_NO_THROW(b.perform(std::string(op), args)) << op << " " << wrong.dump();
  }
  EXPECT_EQ(b.perform("setLoginItem", {{"on", 1}}).message,
            "요청의 값이 맞지 않습니다: on 값은 참/거짓이어야 합니다");
  EXPECT_TRUE(b.perform("search", {{"text", "C0001"}}).ok) << "still answering";
}

TEST(ModelBackend, RuleEditingSavesACustomPreset) {
  ModelRig r;
  r.prefs.values["preset"] = "행사";
  Model& m = r.make();
  ModelBackend b(m, r.main);
  // The editor opens on the preset the jobs use; a learnt rule accepted meanwhile is saved too.
  json s0 = b.snapshot()["rules"];
  EXPECT_EQ(s0["editingPreset"], "행사");
  EXPECT_EQ(s0["editingRules"].size(), Presets::rulesFor(m.presets(), "행사").size());
  EXPECT_EQ(s0["roleChoices"].size(), 3u);
  m.acceptRule(Suggestion{"ILME-FX3", "인터뷰", 5});
  ASSERT_TRUE(b.perform("saveRules", {{"name", "행사"}}).ok);
  EXPECT_EQ(m.presets().at("행사").front(), (Rule{"인터뷰", {}, {}, {}, std::string("ILME-FX3")}));
  EXPECT_EQ(b.snapshot()["rules"]["editingRules"].size(), s0["editingRules"].size() + 1);
  // Neither an empty list, nor a rule without a class, nor a blank name is saved.
  ASSERT_TRUE(b.perform("setRules", {{"rules", json::array()}}).ok);
  b.perform("saveRules", {{"name", "빈것"}});
  EXPECT_EQ(m.presets().count("빈것"), 0u);
  EXPECT_FALSE(b.perform("setRules", {{"rules", json::array({{{"max_sec", 2}}})}}).ok);
  ASSERT_TRUE(
      b.perform("setRules", {{"rules", json::array({{{"class", "인터뷰"}, {"min_ch", 2}}})}}).ok);
  b.perform("saveRules", {{"name", "   "}});
  EXPECT_EQ(m.presets().count("   "), 0u);
  ASSERT_TRUE(b.perform("saveRules", {{"name", "토크쇼"}}).ok);
  EXPECT_EQ(m.libraryNote(), "저장: 토크쇼");
  EXPECT_EQ(m.presets().count("토크쇼"), 1u);
  EXPECT_EQ(b.snapshot()["rules"]["preset"], "행사");  // saving does not switch the active preset
}

TEST(ModelBackend, TheSettingsPageOffersWhatTheApplicationTakesUnderItsNames) {
  int offered = 0;
  for (const auto& f : settingFields()) {
    // The page's labels and the refusals name a setting alike.
    const std::string key = f["key"], label = f["label"], name = settingLabel(key);
    EXPECT_FALSE(name.empty()) << key;
    EXPECT_TRUE(label == name || label.rfind(name + " (", 0) == 0) << key << ": " << label;
    for (const auto& c : f.value("choices", json::array())) {
      Settings s;
      EXPECT_EQ(s.set(key, c["value"]), std::nullopt) << key << " = " << c["value"];
      EXPECT_EQ(s.value(key), c["value"]) << key;
      EXPECT_TRUE(s.set(key, "no-such-value")) << key;
      ++offered;
    }
  }
  EXPECT_EQ(offered, 8);  // names 2, storage 3, verify 3
}

}  // namespace
}  // namespace tolverdine::web
