#include "platform/preferences_store.h"

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {

TEST(PreferencesStore, RoundTripAndCorruptFileKeptAside) {
  TempDir t;
  std::string dir = t.path + "/cfg";
  {
    JsonFilePreferences p(dir);
    EXPECT_FALSE(p.set("dests", nlohmann::json::array({"/media/\xff\xfe"})));
    EXPECT_TRUE(p.set("copies", 3)) << "a refused value must not stop later writes";
    EXPECT_TRUE(p.set("webhookURL", "https://x"));
    EXPECT_TRUE(p.remove("webhookURL"));
  }
  JsonFilePreferences again(dir);
  EXPECT_EQ(again.get("copies"), nlohmann::json(3));
  EXPECT_FALSE(again.get("webhookURL"));
  for (const char* bad : {"{not json", "[1,2]"}) {
    writeFile(dir + "/settings.json", bad);
    JsonFilePreferences p(dir);
    EXPECT_FALSE(p.get("autoSeconds"));
    EXPECT_EQ(slurp(dir + "/settings.json.bad"), bad);
    EXPECT_TRUE(p.set("autoSeconds", 3));
    EXPECT_EQ(slurp(dir + "/settings.json.bad"), bad) << "kept aside, not overwritten";
  }
}

}  // namespace tolverdine
