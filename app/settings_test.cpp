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
  struct Case {
    std::string key;
    json value;
    std::string label;
  };
  const std::vector<Case> bad = {
      {"projectDate", "2025-03-14", "프로젝트 날짜"},
      {"projectDate", "20250230", "프로젝트 날짜"},
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
  for (const auto& c : bad) {
    SCOPED_TRACE(c.key + " = " + c.value.dump());
    auto why = m.changeSetting(c.key, c.value);
    ASSERT_TRUE(why);
    EXPECT_EQ(why->rfind(c.label + ": ", 0), 0u) << *why;
    EXPECT_EQ(why->find(c.key), std::string::npos) << "the raw key is never shown: " << *why;
    EXPECT_EQ(m.settings().value(c.key), before.value(c.key));
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
  EXPECT_FALSE(m.changeSetting("webhook", "https://hooks.example/b"));
  EXPECT_FALSE(m.changeSetting("verify", "paranoid"));
  EXPECT_EQ(m.settings().verify(), VerifyMode::paranoid);
  EXPECT_FALSE(m.changeSetting("parallel", 0));
  EXPECT_EQ(m.settings().maxParallel(), 1);
  EXPECT_FALSE(m.changeSetting("roles", json{{"B캠", "interview"}}));
  m.saveRules("야외");
  EXPECT_FALSE(m.changeSetting("preset", "야외"));
  EXPECT_EQ(r.prefs.values["preset"], "야외");

  // A stored file with such values loads them as unset, never as the bad text.
  FakePreferences stored;
  stored.values = {{"projectDate", "2025-03-14"},
                   {"verify", "quick"},
                   {"parallel", -3},
                   {"webhook", "http://x"}};
  Settings s = Settings::load(stored);
  EXPECT_FALSE(s.projectDate);
  EXPECT_EQ(s.verifyMode, "standard");
  EXPECT_EQ(s.maxParallel(), 2);
  EXPECT_EQ(s.webhookURL, "");
}

TEST(Settings, EveryKeyHasALabel) {
  for (const auto& key : settingKeys()) EXPECT_FALSE(settingLabel(key).empty()) << key;
  EXPECT_TRUE(validShootDate("20000229"));
  EXPECT_FALSE(validShootDate("19000229"));
  EXPECT_FALSE(validShootDate("20251301"));
  EXPECT_FALSE(validShootDate("2025031"));
}

TEST(ReaderLinkNotice, OnlyBelowTenGigabit) {
  EXPECT_FALSE(readerLinkNotice(std::nullopt));
  EXPECT_EQ(readerLinkNotice(ReaderLink{"Reader", 5'000'000'000LL}),
            "리더가 5Gbps로 연결됨 — 빠른 카드는 제 속도가 안 납니다");
  EXPECT_EQ(readerLinkNotice(ReaderLink{std::nullopt, 480'000'000LL}),
            "리더가 480Mbps로 연결됨 — 빠른 카드는 제 속도가 안 납니다");
  EXPECT_EQ(readerLinkNotice(ReaderLink{std::nullopt, 9'999'999'999LL}),
            "리더가 9Gbps로 연결됨 — 빠른 카드는 제 속도가 안 납니다");
  EXPECT_FALSE(readerLinkNotice(ReaderLink{"Reader", 10'000'000'000LL}));
  EXPECT_FALSE(readerLinkNotice(ReaderLink{"Reader", 20'000'000'000LL}));
}

}  // namespace tolverdine
