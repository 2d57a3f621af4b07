#include "cli/help.h"

#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "engine/base/version.h"
#include "engine/card/signature.h"

namespace tolverdine {

TEST(Help, VersionAndHelpOfEveryCommandMatchWhatTheParsersTake) {
  Cli cli;
  auto v = cli.run({}, "--version");
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, std::string("tolverdine ") + toolVersion() + "\n");
  auto list = cli.run({}, "help"), bare = cli.run({}, "nosuchcommand");
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(bare.status, 64);
  EXPECT_EQ(cli.run({"nosuchcommand"}, "help").status, 64);
  for (const auto& c : cli::commandHelp()) {
    SCOPED_TRACE(c.name);
    EXPECT_NE(list.out.find("\n  " + c.name + " "), std::string::npos);
    EXPECT_NE(bare.err.find("\n  " + c.name + " "), std::string::npos);
    const std::string first = c.name.substr(0, c.name.find(' '));
    auto h = cli.run({first}, "help");
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.out, cli::helpText(c));
    if (first == "help") continue;
    // Each documented option is one the command's parser knows: a valued one wants its value,
    // a switch is taken and the parser stops only at the unknown word after it.
    for (const auto& o : c.options) {
      SCOPED_TRACE(o.name);
      std::vector<std::string> args;
      if (c.name.find(' ') != std::string::npos) args.push_back(c.name.substr(first.size() + 1));
      args.push_back("--" + o.name);
      if (o.value.empty()) args.push_back("--zz-unknown");
      auto r = cli.run(args, first);
      EXPECT_EQ(r.status, 64);
      EXPECT_NE(r.err.find(o.value.empty() ? "알 수 없는 옵션: --zz-unknown"
                                           : "값이 없습니다: --" + o.name),
                std::string::npos)
          << r.err;
    }
  }
  EXPECT_EQ(cli.run({"--help"}, "ingest").out, cli::helpText(*cli::findCommand("ingest")));
}

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
  // The anonymous tree for a bug report (its text is the engine's) names no file.
  auto tree = c.run({card}, "tree");
  EXPECT_EQ(tree.status, 0);
  EXPECT_FALSE(has(tree, "C0001")) << tree.out;
}

}  // namespace tolverdine
