#include "engine/card/identify.h"

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

TEST(Identify, FolderPatternsAndProfiles) {
  TempDir d;
  mkdirs(d.path + "/DCIM/100GOPRO");
  mkdirs(d.path + "/PRIVATE/M4ROOT");
  mkdirs(d.path + "/DCIM/100MSDCF");
  writeFile(d.path + "/CONTENTS", "a file, not a folder");
  for (auto [at, pattern, has] :
       {std::tuple{"", "dcim/*gopro", true}, {"", "CONTENTS", false}, {"/missing", "DCIM", false}})
    EXPECT_EQ(hasDir(d.path + at, pattern), has) << at << pattern;
  // Both a video tree and a still folder: the earlier profile wins.
  auto p = matchProfile(defaultProfiles(), d.path);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->id, "sony-xavcs");

  TempDir red;
  mkdirs(red.path + "/A001_C001.RDM");
  EXPECT_EQ(matchProfile(defaultProfiles(), red.path)->id, "red");
  TempDir empty;
  EXPECT_FALSE(matchProfile(defaultProfiles(), empty.path));
}

TEST(Identify, SonyXmlAndContainerTags) {
  TempDir d;
  mkdirs(d.path + "/PRIVATE/M4ROOT/CLIP");
  std::string xml = d.path + "/PRIVATE/M4ROOT/CLIP/C0001M01.XML";
  // Another tag's model is not the device's; a serial of 0 is none.
  for (auto [text, want] : std::vector<std::pair<std::string, SonyDevice>>{
           {"<DeviceInfo modelName=\"X\"/><Device modelName=\"ILME-FX3\" serialNo=\"0\"/>",
            {"ILME-FX3", std::nullopt}},
           {"<Device serialNo=\"77\" modelName=\"\">", {}}}) {
    writeFile(xml, text);
    EXPECT_EQ(sonyDevice(xml), want) << text;
  }
  writeFile(xml, "<Device modelName=\"ILME-FX3\" serialNo=\"123\"/>");

  std::vector<CardFile> files = {{"PRIVATE/M4ROOT/CLIP/C0001.MP4", 1, 1},
                                 {"PRIVATE/M4ROOT/CLIP/C0001M01.XML", 1, 1}};
  CameraID id = identify(d.path, files, defaultProfiles(), {});
  EXPECT_EQ(id, (CameraID{"sony-xavcs", "Sony", "XAVC S·HS", "ILME-FX3", "123"}));
  EXPECT_EQ(id.label(baseModelNames()), "Sony FX3 #123");

  // Container tags: the first non-empty make wins; a model item outranks a drone's software name.
  std::vector<MediaTag> tags = {{TagKey::make, ""},
                                {TagKey::make, "Apple"},
                                {TagKey::make, "Other"},
                                {TagKey::model, "iPhone"},
                                {TagKey::software, "DJI X"}};
  CameraID phone = identify(d.path, {{"DCIM/100APPLE/IMG_0001.MOV", 1, 1}}, {},
                            [&](const std::string&) { return tags; });
  EXPECT_EQ(phone.brand.value_or("") + " " + phone.model.value_or(""), "Apple iPhone");
}

}  // namespace
}  // namespace tolverdine
