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

  // Drone clip: software names the model unless a model item is present; the first make wins.
  auto tags = [](std::vector<MediaTag> t) { return [t](const std::string&) { return t; }; };
  std::vector<CardFile> clip = {{"DCIM/100MEDIA/DJI_0001.MP4", 1, 1}};
  CameraID dji = identify(d.path, clip, {}, tags({{TagKey::software, "DJI Mini 4 Pro"}}));
  EXPECT_EQ(dji.brand.value_or("") + " " + dji.model.value_or(""), "DJI Mini 4 Pro");
  CameraID both = identify(d.path, clip, {},
                           tags({{TagKey::make, ""},
                                 {TagKey::make, "Apple"},
                                 {TagKey::make, "Other"},
                                 {TagKey::model, "iPhone"},
                                 {TagKey::software, "DJI X"}}));
  EXPECT_EQ(both.brand.value_or("") + " " + both.model.value_or(""), "Apple iPhone");

  // A recorder: neither XML nor video, only the profile.
  TempDir zoom;
  mkdirs(zoom.path + "/FOLDER01");
  CameraID rec = identify(zoom.path, {{"FOLDER01/ZOOM0001.WAV", 1, 1}}, defaultProfiles(), {});
  EXPECT_EQ(rec, (CameraID{"zoom", "Zoom", "레코더", std::nullopt, std::nullopt}));
  EXPECT_FALSE(rec.identity());

  // The real container reader on a clip made by ffmpeg.
  if (sh("command -v ffmpeg >/dev/null") != 0) GTEST_SKIP() << "ffmpeg not installed";
  std::string mov = d.path + "/t.mov";
  ASSERT_EQ(
      sh("ffmpeg -v quiet -f lavfi -i color=c=black:s=16x16:d=0.1 -movflags use_metadata_tags "
         "-metadata com.apple.quicktime.make=Canon -metadata com.apple.quicktime.model=EOS-R5 '" +
         mov + "'"),
      0);
  auto t = containerTags(mov);
  EXPECT_NE(std::find(t.begin(), t.end(), MediaTag{TagKey::make, "Canon"}), t.end());
  EXPECT_NE(std::find(t.begin(), t.end(), MediaTag{TagKey::model, "EOS-R5"}), t.end());
  EXPECT_TRUE(containerTags(xml).empty());
}

}  // namespace
}  // namespace tolverdine
