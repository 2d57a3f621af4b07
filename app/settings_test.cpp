#include "app/settings.h"

#include <gtest/gtest.h>

#include "app/model_test_util.h"

namespace tolverdine {

using nlohmann::json;

TEST(Settings, BadValuesAreRefusedByLabelAndChangeNothing) {
  ModelRig r;
  r.prefs.values["projectDate"] = "20250314";
  r.prefs.values["webhook"] = "https://hooks.example/a";
  Model& m = r.make();
  const Settings before = m.settings();
  const auto storedBefore = r.prefs.values;
  const std::vector<std::tuple<std::string, json, std::string>> bad = {
      {"projectDate", "20250230", "프로젝트 날짜"},
      {"preset", "없는 프리셋", "분류 프리셋"},
      {"webhook", "http://hooks.example/a", "웹훅 주소"},
      {"verify", "quick", "검증"},
      {"names", "fr", "폴더 이름"},
      {"parallel", -1, "동시에 복사할 카드 수"},
      {"copies", 0, "필요한 검증 사본 수"},
      {"roles", "A캠", "카메라 역할"},
      {"eulaAccepted", "fp2", "사용 약관 동의"},
      {"dests", json::array({r.tmp.path + "/plain.txt"}), "목적지"},
      {"cascadeDests", json::array({"/"}), "2차 목적지"},
      {"project", "봄/여름", "프로젝트 이름"},
      {"logo", "mark.png", "리포트 로고"},
  };
  writeFile(r.tmp.path + "/plain.txt", "not a folder");
  for (const auto& [key, value, label] : bad) {
    SCOPED_TRACE(key + " = " + value.dump());
    auto why = m.changeSetting(key, value);
    ASSERT_TRUE(why);
    EXPECT_EQ(why->rfind(label + ": ", 0), 0u) << *why;
    EXPECT_EQ(why->find(key), std::string::npos) << "the raw key is never shown: " << *why;
    EXPECT_EQ(m.settings().value(key), before.value(key));
    EXPECT_EQ(r.prefs.values, storedBefore);
  }
  EXPECT_TRUE(m.changeSetting("nosuchkey", 1));

  // Good values still go through, and the empty field clears what may be empty.
  EXPECT_FALSE(m.changeSetting("projectDate", "20240229"));
  EXPECT_EQ(m.settings().projectDate, "20240229");
  EXPECT_FALSE(m.changeSetting("projectDate", ""));
  EXPECT_FALSE(m.settings().projectDate);
  m.saveRules("야외");
  EXPECT_FALSE(m.changeSetting("preset", "야외"));
  EXPECT_EQ(r.prefs.values["preset"], "야외");

  // A stored file with such values, or values of the wrong type, loads them as unset.
  for (const json& parallel : {json(-3), json(1.5)}) {
    FakePreferences stored;
    stored.values =
        json::parse(R"({"projectDate": "2025-03-14", "verify": "quick", "copies": "drei",
        "webhook": "http://x", "names": "en", "dests": "not a list", "autoSeconds": 3,
        "roles": {"A캠": "interview", "B캠": "director"}})")
            .get<std::map<std::string, json>>();
    stored.values["parallel"] = parallel;
    Settings s = Settings::load(stored);
    EXPECT_FALSE(s.projectDate);
    EXPECT_EQ(s.verify(), VerifyMode::standard);
    EXPECT_EQ(s.maxParallel(), 2);
    EXPECT_EQ(s.webhookURL, "");
    EXPECT_EQ(s.copies, 2);
    EXPECT_TRUE(s.english);
    EXPECT_TRUE(s.dests.empty());
    EXPECT_EQ(s.countdownSeconds(), 3);
    EXPECT_EQ(s.roleFor("A캠"), CameraRole::interview);
    EXPECT_EQ(s.roleFor("B캠"), CameraRole::none);
    EXPECT_EQ(s.storage(), StorageMode::automatic);
  }
}

}  // namespace tolverdine
