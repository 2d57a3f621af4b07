// Destinations entered through the application and through a project file: one text per folder,
// overlapping folders refused (one folder must never count as two copies). Spellings and nesting
// on disk: CanonicalPath.*; the file's own checks: ProjectFile.*.
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "app/model_test_util.h"
#include "engine/base/canonical_path.h"

namespace tolverdine {
namespace {

using Paths = std::vector<std::string>;

TEST(ModelPaths, DestinationsAreCanonicalAndOverlapsRefused) {
  ModelRig r;
  const std::string d1 = canonicalPath(r.dest1()), d2 = canonicalPath(r.dest2());
  const std::string link = r.tmp.path + "/link";
  r.prefs.values["dests"] = {r.dest1() + "/", r.dest1(), r.dest2() + "//."};
  Model& m = r.make();
  EXPECT_EQ(m.settings().dests, (Paths{d1, d2})) << "stored spellings folded on load";

  ASSERT_EQ(::symlink(d1.c_str(), link.c_str()), 0);
  EXPECT_EQ(m.addDest(link + "/", false), std::nullopt);  // already listed
  mkdirs(d1 + "/sub");
  EXPECT_TRUE(m.addDest(link + "/sub", false));
  EXPECT_TRUE(m.addDest(d2, true)) << "a second-copy target may not be a destination either";
  EXPECT_FALSE(m.setSetting("dests", nlohmann::json({d1, d1 + "/sub"})));
  EXPECT_EQ(m.settings().dests, (Paths{d1, d2}));
  EXPECT_TRUE(m.settings().cascadeDests.empty());

  // A second folder of one drive is taken (a layout choice), and said to hold no second copy.
  mkdirs(r.drive2.path + "/more");
  EXPECT_EQ(m.addDest(r.drive2.path + "/more", false), std::nullopt);
  EXPECT_EQ(m.cascadeNote().value_or("").rfind("같은 드라이브: ", 0), 0u);
}

TEST(ModelPaths, ProjectFileCarriesTheSetUpAndOneFolderTwiceIsRefused) {
  ModelRig r;
  r.prefs.values["copies"] = 3;
  r.make();
  const std::string file = r.tmp.path + "/데모.tolverdine.json";
  ASSERT_TRUE(r.model->exportProject(file));

  // Another machine: nothing set up, then the file is imported.
  ModelRig other(false);
  Model& n = other.make();
  ASSERT_TRUE(n.importProject(file));
  const std::string d1 = canonicalPath(r.dest1()), d2 = canonicalPath(r.dest2());
  EXPECT_TRUE(n.settings().project == "데모" && n.settings().copies == 3);
  EXPECT_EQ(n.settings().dests, (Paths{d1, d2}));

  // An edited file naming one folder twice, once through a link, is refused and changes nothing.
  const std::string link = r.tmp.path + "/link", edited = r.tmp.path + "/edited.json";
  ASSERT_EQ(::symlink(d1.c_str(), link.c_str()), 0);
  auto j = nlohmann::json::parse(slurp(file));
  j["destinations"] = {d1, link};
  writeFile(edited, j.dump());
  EXPECT_FALSE(n.importProject(edited));
  EXPECT_EQ(n.settings().dests, (Paths{d1, d2}));
}

}  // namespace
}  // namespace tolverdine
