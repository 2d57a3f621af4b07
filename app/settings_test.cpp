#include "app/settings.h"

#include <gtest/gtest.h>

#include "app/card_item.h"
#include "app/model_test_util.h"

namespace tolverdine {

using nlohmann::json;

TEST(Settings, BadValuesAreRefusedByLabelAndChangeNothing) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["projectDate"] = "20250314";
  r.prefs.values["webhook"] = "https://hooks.example/a";
  Model& m = r.make();
  const Settings before = m.settings();
  const auto storedBefore = r.prefs.values;
  const std::vector<std::tuple<std::string, json, std::string>> bad = {
      {"projectDate", "2025-03-14", "프로젝트 날짜"},
      {"projectDate", "20250230", "프로젝트 날짜"},
      {"projectDate", "19000229", "프로젝트 날짜"},
      {"projectDate", 20250314, "프로젝트 날짜"},
      {"preset", "없는 프리셋", "분류 프리셋"},
      {"webhook", "http://hooks.example/a", "웹훅 주소"},
      {"webhook", "ftp://x", "웹훅 주소"},
      {"verify", "quick", "검증"},
      {"storage", "copy", "보관 방식"},
      {"names", "fr", "폴더 이름"},
      {"parallel", -1, "동시에 복사할 카드 수"},
      {"parallel", "2", "동시에 복사할 카드 수"},
      {"autoSeconds", -5, "자동 시작까지 기다릴 초"},
      {"copies", 0, "필요한 검증 사본 수"},
      {"roles", "A캠", "카메라 역할"},
      {"md5", "yes", "MD5 도 계산"},
      {"eulaAccepted", "fp2", "사용 약관 동의"},
      {"dests", json::array({r.tmp.path + "/nowhere"}), "목적지"},
      {"dests", json::array({r.tmp.path + "/plain.txt"}), "목적지"},
      {"cascadeDests", json::array({"/etc"}), "2차 목적지"},
      {"cascadeDests", json::array({"/"}), "2차 목적지"},
      {"project", "봄/여름", "프로젝트 이름"},
      {"logo", "mark.png", "리포트 로고"},
      {"logo", r.tmp.path + "/mark.png", "리포트 로고"},
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
  EXPECT_NE(m.changeSetting("preset", "없는 프리셋")->find("default"), std::string::npos)
      << "names the choices";
  EXPECT_TRUE(m.changeSetting("nosuchkey", 1));
  EXPECT_EQ(m.addDest(r.tmp.path + "/nowhere", false),
            "목적지: 폴더가 없습니다: " + r.tmp.path + "/nowhere");

  // Good values still go through, and the empty field clears what may be empty.
  EXPECT_FALSE(m.changeSetting("projectDate", "20240229"));
  EXPECT_EQ(m.settings().projectDate, "20240229");
  EXPECT_FALSE(m.changeSetting("projectDate", ""));
  EXPECT_FALSE(m.settings().projectDate);
  EXPECT_FALSE(m.changeSetting("webhook", ""));
  EXPECT_EQ(m.settings().webhookURL, "");
  EXPECT_FALSE(m.changeSetting("parallel", 0));
  EXPECT_EQ(m.settings().maxParallel(), 1);
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

// The reader's speed as the card shows it, only below ten gigabit.
TEST(ReaderLinkNotice, OnlyBelowTenGigabit) {
  EXPECT_FALSE(readerLinkNotice(std::nullopt));
  for (const auto& [bps, label] :
       std::vector<std::pair<int64_t, std::string>>{{480'000'000, "480Mbps"},
                                                    {999'999'999, "999Mbps"},
                                                    {1'000'000'000, "1Gbps"},
                                                    {9'999'999'999, "9Gbps"},
                                                    {10'000'000'000, ""}})
    EXPECT_EQ(
        readerLinkNotice(ReaderLink{"Reader", bps}).value_or(""),
        label.empty() ? "" : "리더가 " + label + "로 연결됨 — 빠른 카드는 제 속도가 안 납니다");
}

}  // namespace tolverdine
