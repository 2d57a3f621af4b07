#include "platform/preferences_store.h"

#include <gtest/gtest.h>

#include "engine/files.h"
#include "testing/test_util.h"

namespace tolverdine {

TEST(PreferencesStore, RoundTripAndCorruptFileKeptAside) {
  TempDir t;
  std::string dir = t.path + "/cfg";
  {
    JsonFilePreferences p(dir);
    EXPECT_FALSE(p.get("autoSeconds"));
    EXPECT_TRUE(p.set("autoSeconds", 5));
    EXPECT_TRUE(p.set("webhookURL", "https://x"));
    EXPECT_TRUE(p.remove("webhookURL"));
  }
  {
    JsonFilePreferences p(dir);
    EXPECT_EQ(p.get("autoSeconds"), nlohmann::json(5));
    EXPECT_FALSE(p.get("webhookURL"));
  }
  for (const char* bad : {"{not json", "[1,2]"}) {
    writeFile(dir + "/settings.json", bad);
    JsonFilePreferences p(dir);
    EXPECT_FALSE(p.get("autoSeconds"));
    std::string kept;
    ASSERT_TRUE(readFile(dir + "/settings.json.bad", &kept));
    EXPECT_EQ(kept, bad);
    EXPECT_TRUE(p.set("autoSeconds", 3));
    ASSERT_TRUE(readFile(dir + "/settings.json.bad", &kept));
    EXPECT_EQ(kept, bad);
  }
}

}  // namespace tolverdine
