// Destinations entered through the application and through a project file: one text per folder,
// overlapping folders refused with the Korean reason.
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "app/model_test_util.h"
#include "engine/base/canonical_path.h"

namespace tolverdine {
namespace {

using Paths = std::vector<std::string>;

TEST(ModelPaths, DestinationsAreCanonicalAndOverlapsRefused) {
  ModelRig r;
  r.readyToGo();
  const std::string d1 = canonicalPath(r.dest1()), d2 = canonicalPath(r.dest2());
  const std::string link = r.tmp.path + "/link", nas = canonicalPath(r.tmp.path) + "/nas";
  r.prefs.values["dests"] = {r.dest1() + "/", r.dest1(), r.dest2() + "//."};
  Model& m = r.make();
  EXPECT_EQ(m.settings().dests, (Paths{d1, d2})) << "stored spellings folded on load";

  ASSERT_EQ(::symlink(d1.c_str(), link.c_str()), 0);
  EXPECT_EQ(m.addDest(link + "/", false), std::nullopt);  // already listed
  EXPECT_EQ(m.addDest(r.dest1() + "/../d1", false), std::nullopt);
  EXPECT_EQ(m.settings().dests, (Paths{d1, d2}));

  mkdirs(d1 + "/sub");
  auto refused = m.addDest(link + "/sub", false);
  EXPECT_NE(refused.value_or("").find("두 목적지가 같은 폴더이거나 한쪽이 다른 쪽 안에 있습니다"),
            std::string::npos);
  EXPECT_EQ(m.cascadeNote(), refused) << "shown where other refusals are shown";
  EXPECT_TRUE(m.addDest(d2, true)) << "a second-copy target may not be a destination either";
  EXPECT_TRUE(m.settings().cascadeDests.empty());
  mkdirs(nas);
  EXPECT_EQ(m.addDest(r.tmp.path + "/nas/./", true), std::nullopt);
  EXPECT_EQ(m.settings().cascadeDests, Paths{nas});

  // The whole list as the settings page sends it.
  EXPECT_FALSE(m.setSetting("dests", nlohmann::json({d1, d1 + "/sub"})));
  EXPECT_EQ(m.settings().dests, (Paths{d1, d2}));
  EXPECT_TRUE(m.setSetting("dests", nlohmann::json({d2 + "/", link})));
  EXPECT_EQ(m.settings().dests, (Paths{d2, d1}));
  EXPECT_EQ(r.prefs.values["dests"], nlohmann::json({d2, d1})) << "saved as canonical";
  m.removeDest(link + "/", false);
  EXPECT_EQ(m.settings().dests, Paths{d2});

  // A second folder of one drive is taken (a layout choice), and said to hold no second copy.
  mkdirs(r.drive2.path + "/more");
  EXPECT_EQ(m.addDest(r.drive2.path + "/more", false), std::nullopt);
  EXPECT_EQ(m.settings().dests.size(), 2u);
  EXPECT_EQ(m.cascadeNote().value_or("").rfind("같은 드라이브: ", 0), 0u);
}

TEST(ModelPaths, ProjectFileCarriesTheSetUpAndOneFolderTwiceIsRefused) {
  ModelRig r;
  r.readyToGo();
  r.prefs.values["copies"] = 3;
  r.prefs.values["names"] = "en";
  r.prefs.values["storage"] = "split";
  r.make();
  const std::string file = r.tmp.path + "/데모.tolverdine.json";
  ASSERT_TRUE(r.model->exportProject(file));

  // Another machine: nothing set up, then the file is imported.
  ModelRig other;
  Model& n = other.make();
  ASSERT_TRUE(n.importProject(file));
  const std::string d1 = canonicalPath(r.dest1()), d2 = canonicalPath(r.dest2());
  const Settings& got = n.settings();
  EXPECT_TRUE(got.project == "데모" && got.copies == 3 && got.english &&
              got.storageMode == "split");
  EXPECT_EQ(got.dests, (Paths{d1, d2}));
  EXPECT_EQ(other.prefs.values["copies"], 3);
  EXPECT_FALSE(n.exportProject("/proc/self/nope/x.json"));
  EXPECT_EQ(n.cascadeNote().value_or("").rfind("내보내기 실패: ", 0), 0u);

  // Edited files: one folder twice is refused and changes nothing (which pairs: ProjectFile.*).
  auto edited = [&](nlohmann::json dests, nlohmann::json cascade) {
    auto j = nlohmann::json::parse(slurp(file));
    j["destinations"] = std::move(dests);
    j["cascadeDestinations"] = std::move(cascade);
    writeFile(r.tmp.path + "/edited.json", j.dump());
    return n.importProject(r.tmp.path + "/edited.json");
  };
  const std::string link = r.tmp.path + "/link", nas = canonicalPath(r.tmp.path) + "/nas";
  ASSERT_EQ(::symlink(d1.c_str(), link.c_str()), 0);
  mkdirs(d2 + "/x");
  const auto none = nlohmann::json::array();
  for (auto [dests, cascade] : std::vector<std::pair<nlohmann::json, nlohmann::json>>{
           {{d1, link}, none}, {{d1, d2 + "/x/y"}, {d2}}}) {
    EXPECT_FALSE(edited(dests, cascade)) << dests.dump();
    EXPECT_EQ(n.cascadeNote().value_or("").rfind("불러오기 실패: ", 0), 0u) << dests.dump();
  }
  EXPECT_EQ(n.settings().dests, (Paths{d1, d2}));
  mkdirs(nas);
  ASSERT_TRUE(edited({link + "/", d2 + "//"}, {r.tmp.path + "/nas/../nas"}));
  EXPECT_EQ(n.settings().dests, (Paths{d1, d2}));
  EXPECT_EQ(n.settings().cascadeDests, Paths{nas});
}

}  // namespace
}  // namespace tolverdine
