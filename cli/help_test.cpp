#include "cli/help.h"

#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "cli/resource_dir.h"
#include "engine/base/version.h"

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
    bool usage = false;
    for (const auto& e : c.exits) usage = usage || e.code == 64;
    EXPECT_TRUE(usage) << "every command refuses a bad call with 64";
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
  EXPECT_EQ(cli::findCommand("profiles")->name, "profiles sign");
  EXPECT_EQ(cli::findCommand("nosuch"), nullptr);
}

TEST(Help, AnInstalledProgramReadsItsResourcesBesideIt) {
  TempDir d;
  const std::string bin = d.path + "/usr/bin/tolverdine";
  EXPECT_EQ(cli::resourceDir(bin), TOLVERDINE_RESOURCE_DIR);
  mkdirs(d.path + "/usr/share/tolverdine");
  writeFile(d.path + "/usr/share/tolverdine/EULA.ko.md", "약관");
  EXPECT_EQ(cli::resourceDir(bin), d.path + "/usr/share/tolverdine");
  EXPECT_EQ(cli::resourceDir(""), TOLVERDINE_RESOURCE_DIR);
}

}  // namespace tolverdine
