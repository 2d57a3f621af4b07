// Destinations entered through the application: one text per folder, overlapping folders
// refused with the Korean reason, and drives offered by whole folder names.
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "app/model_test_util.h"
#include "engine/base/canonical_path.h"

namespace tolverdine {
namespace {

using namespace std::chrono_literals;
const char* const kOverlap = "두 목적지가 같은 폴더이거나 한쪽이 다른 쪽 안에 있습니다";

TEST(ModelPaths, DestinationsAreCanonicalAndOverlapsRefused) {
  ModelRig r;
  r.readyToGo();
  const std::string d1 = canonicalPath(r.dest1()), d2 = canonicalPath(r.dest2());
  r.prefs.values["dests"] = {r.dest1() + "/", r.dest1(), r.dest2() + "//."};
  Model& m = r.make();
  EXPECT_EQ(m.settings().dests, (std::vector<std::string>{d1, d2}))
      << "stored spellings folded on load";

  ASSERT_EQ(::symlink(d1.c_str(), (r.tmp.path + "/link").c_str()), 0);
  EXPECT_EQ(m.addDest(r.tmp.path + "/link/", false), std::nullopt);  // already listed
  EXPECT_EQ(m.addDest(r.dest1() + "/../d1", false), std::nullopt);
  EXPECT_EQ(m.settings().dests, (std::vector<std::string>{d1, d2}));
  EXPECT_FALSE(m.cascadeNote());

  mkdirs(d1 + "/sub");
  auto refused = m.addDest(r.tmp.path + "/link/sub", false);
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->find(kOverlap), std::string::npos) << *refused;
  EXPECT_EQ(m.cascadeNote(), refused) << "shown where other refusals are shown";
  EXPECT_TRUE(m.addDest(d2, true)) << "a second-copy target may not be a destination either";
  EXPECT_TRUE(m.settings().cascadeDests.empty());

  mkdirs(r.tmp.path + "/nas");
  EXPECT_EQ(m.addDest(r.tmp.path + "/nas/./", true), std::nullopt);
  EXPECT_EQ(m.settings().cascadeDests,
            std::vector<std::string>{canonicalPath(r.tmp.path + "/nas")});

  // The whole list as the settings page sends it.
  EXPECT_FALSE(m.setSetting("dests", nlohmann::json({d1, d1 + "/sub"})));
  EXPECT_EQ(m.settings().dests, (std::vector<std::string>{d1, d2}));
  EXPECT_TRUE(m.setSetting("dests", nlohmann::json({d2 + "/", r.tmp.path + "/link"})));
  EXPECT_EQ(m.settings().dests, (std::vector<std::string>{d2, d1}));
  EXPECT_EQ(r.prefs.values["dests"], nlohmann::json({d2, d1})) << "saved as canonical";
  m.removeDest(r.tmp.path + "/link/", false);
  EXPECT_EQ(m.settings().dests, std::vector<std::string>{d2});

  // A second folder of one drive is taken (a layout choice), and said to hold no second copy.
  mkdirs(r.drive2.path + "/more");
  EXPECT_EQ(m.addDest(r.drive2.path + "/more", false), std::nullopt);
  EXPECT_EQ(m.settings().dests.size(), 2u);
  ASSERT_TRUE(m.cascadeNote());
  EXPECT_EQ(m.cascadeNote()->rfind("같은 드라이브: ", 0), 0u) << *m.cascadeNote();
}

TEST(ModelPaths, ProjectFileWithOneFolderTwiceIsRefused) {
  ModelRig r;
  r.readyToGo();
  Model& m = r.make();
  const std::string d1 = canonicalPath(r.dest1()), d2 = canonicalPath(r.dest2());
  const std::string file = r.tmp.path + "/p.tolverdine.json";
  ASSERT_TRUE(m.exportProject(file));
  auto withDests = [&](nlohmann::json dests, nlohmann::json cascade) {
    auto j = nlohmann::json::parse(slurp(file));
    j["destinations"] = std::move(dests);
    j["cascadeDestinations"] = std::move(cascade);
    writeFile(r.tmp.path + "/edited.json", j.dump());
    return m.importProject(r.tmp.path + "/edited.json");
  };
  ASSERT_EQ(::symlink(d1.c_str(), (r.tmp.path + "/link").c_str()), 0);
  mkdirs(d2 + "/x");
  for (auto [dests, cascade, says] :
       std::vector<std::tuple<nlohmann::json, nlohmann::json, std::string>>{
           {{d1 + "/", d1}, nlohmann::json::array(), "앞의 경로와 같습니다"},
           {{d1, r.tmp.path + "/link"}, nlohmann::json::array(), "앞의 경로와 같습니다"},
           {{d1, d2 + "/x/y"}, {d2}, "같은 폴더이거나 한쪽이 다른 쪽 안에 있습니다"},
           {{d1}, {r.tmp.path + "/link/./"}, "앞의 경로와 같습니다"},
       }) {
    EXPECT_FALSE(withDests(dests, cascade)) << dests.dump();
    ASSERT_TRUE(m.cascadeNote());
    EXPECT_NE(m.cascadeNote()->find(says), std::string::npos) << *m.cascadeNote();
  }
  EXPECT_EQ(m.settings().dests, (std::vector<std::string>{d1, d2}));
  mkdirs(r.tmp.path + "/nas");
  ASSERT_TRUE(withDests({r.tmp.path + "/link/", d2 + "//"}, {r.tmp.path + "/nas/../nas"}));
  EXPECT_EQ(m.settings().dests, (std::vector<std::string>{d1, d2}));
  EXPECT_EQ(m.settings().cascadeDests,
            std::vector<std::string>{canonicalPath(r.tmp.path + "/nas")});
}

TEST(ModelPaths, DriveWhoseNameBeginsAnotherIsStillOffered) {
  ModelRig r;
  r.readyToGo();
  const std::string ssd = r.tmp.path + "/vol/SSD", ssd2 = r.tmp.path + "/vol/SSD2";
  mkdirs(ssd);
  mkdirs(ssd2 + "/TOLVERDINE");
  r.prefs.values["dests"] = {canonicalPath(ssd2 + "/TOLVERDINE")};
  Model& m = r.make();
  r.clock.advance(6s);
  r.mount(ssd2, false);
  EXPECT_EQ(m.destSuggestion(), std::nullopt) << "holds a destination";
  r.mount(ssd, false);
  EXPECT_EQ(m.destSuggestion(), ssd) << "SSD2 is not inside SSD";
}

}  // namespace
}  // namespace tolverdine
