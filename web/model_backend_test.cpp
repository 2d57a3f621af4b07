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
  Model& m = r.make();
  ModelBackend b(m, r.main);
  int changes = 0;
  b.subscribe([&](Change) { ++changes; });
  const std::string card = r.card("A001");
  r.mount(card);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(card); }));
  EXPECT_GT(changes, 0);

  json s = b.snapshot();
  json c = cardOf(s, card);
  EXPECT_EQ(c["phase"], "waiting");
  EXPECT_EQ(c["cam"], "A캠");
  EXPECT_EQ(c["countdown"], nullptr);
  EXPECT_EQ(ops(c), json({"start", "exportTree", "dismiss"}));
  EXPECT_EQ(c["actions"][0]["label"], "시작");
  EXPECT_EQ(s["menu"]["title"], "TOLVERDINE 1");
  EXPECT_EQ(s["ready"], true);
  EXPECT_EQ(s["dests"][0]["path"], r.dest1());
  for (const auto& f : s["settings"]) {
    EXPECT_NE(f["key"], "eulaAccepted") << "the consent is no setting";
    if (f["key"] == "copies") {
      EXPECT_EQ(f["value"], 2);
    }
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

  ASSERT_TRUE(b.perform("start", {{"id", card}}).ok);
  EXPECT_EQ(cardOf(b.snapshot(), card)["phase"], "running");
  EXPECT_EQ(ops(cardOf(b.snapshot(), card)), json::array());
  ASSERT_TRUE(r.waitFor([&] { return r.finished(card) != nullptr; }));
  s = b.snapshot();
  c = cardOf(s, card);
  EXPECT_EQ(c["color"], "green");
  EXPECT_EQ(ops(c), json({"report", "exportTree", "dismiss"}));
  EXPECT_EQ(s["menu"]["title"], "포맷 가능 1");

  // The tree onto a file that is there asks first (the page then asks the user).
  const std::string tree = r.tmp.path + "/tree.txt";
  writeFile(tree, "mine");
  EXPECT_TRUE(b.perform("exportTree", {{"id", card}, {"path", tree}}).askReplace);
  EXPECT_EQ(slurp(tree), "mine");
  // A failed export names the file chosen, not the temporary one, and says why in Korean.
  const std::string nowhere = r.tmp.path + "/no-folder/tree.txt";
  EXPECT_EQ(b.perform("exportTree", {{"id", card}, {"path", nowhere}}).message,
            "저장 실패: " + nowhere + " · 파일이나 폴더가 없습니다 (No such file or directory)");

  // A report lists photos-only cards as no clips.
  ASSERT_TRUE(c["report"].is_string());
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
  b.perform("spotCheck", json::object());
  EXPECT_TRUE(r.opener.opened.empty());
  b.perform("openReportFolder", json::object());
  ASSERT_EQ(r.opener.opened.size(), 1u);
  EXPECT_NE(r.opener.opened[0].find(r.dest1()), std::string::npos);

  // The library finds both copies of a photo by its name; a photo is in no class folder: the
  // class menu has nothing to preselect.
  ASSERT_TRUE(b.perform("search", {{"text", "DSC00001"}}).ok);
  s = b.snapshot();
  EXPECT_EQ(s["library"]["hits"].size(), 2u);
  EXPECT_EQ(s["library"]["hits"][0]["cls"], nullptr);
  b.perform("search", {{"text", "   "}});
  EXPECT_EQ(b.snapshot()["library"]["hits"].size(), 0u);
}

// The main loop carries every copy: a request of the wrong shape is answered, never thrown.
TEST(ModelBackend, EveryOperationAnswersArgumentsOfTheWrongType) {
  ModelRig r;
  r.readyToGo();
  Model& m = r.make();
  ModelBackend b(m, r.main);
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
  EXPECT_FALSE(b.perform("exportTree", {{"id", "x"}, {"path", "/tmp/t"}, {"replace", "yes"}}).ok);
  EXPECT_FALSE(b.perform("setRules", {{"rules", "all"}}).ok);
  EXPECT_TRUE(b.perform("search", {{"text", "C0001"}}).ok) << "still answering";
}

// A queued card says what it waits for, not only that it waits.
TEST(ModelBackend, AQueuedCardSaysWhatItWaitsFor) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["parallel"] = 1;
  Model& m = r.make();
  ModelBackend b(m, r.main);
  std::string a = r.card("A1", 1, 1), c = r.card("B1", 2, 2);
  r.mount(a);
  r.mount(c);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(a) && r.in<Phase::Waiting>(c); }));
  ASSERT_TRUE(b.perform("start", {{"id", a}}).ok);
  ASSERT_TRUE(b.perform("start", {{"id", c}}).ok);
  EXPECT_EQ(cardOf(b.snapshot(), c)["wait"], "앞 카드가 끝나기를 기다리는 중 (동시 복사 1장)");
  ASSERT_TRUE(r.waitFor([&] { return r.finished(a) && r.finished(c); }));
}

TEST(ModelBackend, RuleEditingSavesACustomPreset) {
  ModelRig r;
  r.prefs.values["preset"] = "행사";
  Model& m = r.make();
  ModelBackend b(m, r.main);
  // The editor opens on the preset the jobs use, with its rules.
  json s0 = b.snapshot()["rules"];
  EXPECT_EQ(s0["editingPreset"], "행사");
  EXPECT_EQ(s0["editingRules"].size(), Presets::rulesFor(m.presets(), "행사").size());
  EXPECT_FALSE(s0["editingRules"].empty());
  EXPECT_EQ(s0["roleChoices"].size(), 3u);
  // A learnt rule accepted meanwhile is in the list the page saves.
  m.acceptRule(Suggestion{"ILME-FX3", "인터뷰", 5});
  const Rule learnt{"인터뷰", {}, {}, {}, std::string("ILME-FX3")};
  ASSERT_TRUE(b.perform("saveRules", {{"name", "행사"}}).ok);
  EXPECT_EQ(m.presets().at("행사").front(), learnt);
  EXPECT_EQ(b.snapshot()["rules"]["editingRules"].size(), s0["editingRules"].size() + 1);
  // An empty rule list is not saved as a preset.
  ASSERT_TRUE(b.perform("setRules", {{"rules", json::array()}}).ok);
  b.perform("saveRules", {{"name", "빈것"}});
  EXPECT_EQ(m.presets().count("빈것"), 0u);
  ASSERT_TRUE(m.libraryNote());
  ASSERT_TRUE(b.perform("editRules", {{"name", "default"}}).ok);
  json rules = b.snapshot()["rules"]["editingRules"];
  ASSERT_FALSE(rules.empty());
  EXPECT_FALSE(b.perform("setRules", {{"rules", json::array({{{"max_sec", 2}}})}}).ok);  // no class
  ASSERT_TRUE(
      b.perform("setRules", {{"rules", json::array({{{"class", "인터뷰"}, {"min_ch", 2}}})}}).ok);
  b.perform("saveRules", {{"name", "   "}});
  EXPECT_NE(m.libraryNote(), "저장:    ");
  ASSERT_TRUE(b.perform("saveRules", {{"name", "토크쇼"}}).ok);
  EXPECT_EQ(m.libraryNote(), "저장: 토크쇼");
  json s = b.snapshot();
  EXPECT_NE(std::find(s["rules"]["presets"].begin(), s["rules"]["presets"].end(), "토크쇼"),
            s["rules"]["presets"].end());
  EXPECT_EQ(s["rules"]["preset"], "행사");  // saving does not switch the active preset
}

TEST(ModelBackend, RefusedSettingsAndSlowReadersReachThePageAsText) {
  ModelRig r;
  r.readyToGo();
  Model& m = r.make();
  ModelBackend b(m, r.main);
  ActionResult bad = b.perform("setSetting", {{"key", "projectDate"}, {"value", "2025-03-14"}});
  EXPECT_FALSE(bad.ok);
  EXPECT_EQ(bad.message.rfind("프로젝트 날짜: ", 0), 0u) << bad.message;
  const json snap = b.snapshot();  // the loop must not walk a member of a temporary
  for (const auto& f : snap["settings"])
    if (f["key"] == "preset") {
      EXPECT_EQ(f["type"], "choice");
      json presets = json::array();
      for (const auto& [name, rules] : m.presets())
        presets.push_back({{"value", name}, {"label", name}});
      EXPECT_EQ(f["choices"], presets) << "every preset, and only presets, can be chosen";
      EXPECT_GE(presets.size(), 2u);
    }

  std::string slow = r.card("SLOW"), fast = r.card("FAST");
  r.links.setAnswer(ReaderLink{"USB3 Reader", 5'000'000'000LL});
  r.mount(slow);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(slow); }));
  r.links.setAnswer(ReaderLink{"USB4 Reader", 20'000'000'000LL});
  r.mount(fast);
  ASSERT_TRUE(r.waitFor([&] { return r.in<Phase::Waiting>(fast); }));
  json s = b.snapshot();
  EXPECT_EQ(cardOf(s, slow)["link"], "리더가 5Gbps로 연결됨 — 빠른 카드는 제 속도가 안 납니다");
  EXPECT_EQ(cardOf(s, fast)["link"], nullptr);
}

TEST(ModelBackend, TheSettingsPageOffersWhatTheApplicationTakesUnderItsNames) {
  int offered = 0;
  for (const auto& f : settingFields()) {
    // The page's labels and the refusals name a setting alike.
    const std::string key = f["key"], label = f["label"], name = settingLabel(key);
    EXPECT_TRUE(label == name || label.rfind(name + " (", 0) == 0)
        << key << ": " << label << " / " << name;
    EXPECT_FALSE(name.empty()) << key << " is a setting the application knows";
    if (!f.contains("choices")) continue;
    for (const auto& c : f["choices"]) {
      Settings s;
      EXPECT_EQ(s.set(key, c["value"]), std::nullopt) << key << " = " << c["value"];
      EXPECT_EQ(s.value(key), c["value"]) << key;
      ++offered;
    }
    Settings s;
    EXPECT_TRUE(s.set(key, "no-such-value")) << key;
  }
  EXPECT_EQ(offered, 8);  // names 2, storage 3, verify 3
}

}  // namespace
}  // namespace tolverdine::web
