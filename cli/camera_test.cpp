#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "engine/base/version.h"
#include "engine/card/signature.h"

namespace tolverdine {
namespace {

TEST(CameraCli, SignIdentifyAndTree) {
  Cli c;
  const std::string pack = "{\"version\":2,\"profiles\":[]}", p = c.dir.path + "/p.json";
  Ed25519Key key = Ed25519Key::generate();
  writeFile(c.dir.path + "/key.pem", key.pem());
  writeFile(p, pack);
  EXPECT_EQ(c.run({"sign", p, c.dir.path + "/key.pem"}, "profiles").status, 0);
  const std::string sig = slurp(p + ".sig");
  EXPECT_TRUE(verifySignature(pack, sig.substr(0, sig.size() - 1), key.publicKeyBase64()));
  EXPECT_EQ(c.run({"sign", p, p}, "profiles").status, 1) << "not a key";

  const std::string card = c.dir.path + "/xd";
  mkdirs(card + "/XDROOT/Clip");
  writeFile(card + "/XDROOT/Clip/C0001M01.XML",
            "<Device modelName=\"ILME-FX6V\" serialNo=\"42\"/>");
  auto id = c.run({card}, "identify");
  EXPECT_EQ(id.status, 0);
  EXPECT_TRUE(has(id, "프로필: sony-xdcam\n")) << id.out;
  // The anonymous tree for a bug report (its text is the engine's) names the version, no file.
  auto tree = c.run({card}, "tree");
  EXPECT_EQ(tree.status, 0);
  EXPECT_TRUE(has(tree, std::string("TOLVERDINE ") + toolVersion() + " · ")) << tree.out;
  EXPECT_FALSE(has(tree, "C0001")) << tree.out;
}

}  // namespace
}  // namespace tolverdine
