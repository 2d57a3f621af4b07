// What every command takes and answers, in one table: `tolverdine help [COMMAND]`, the usage
// list and the tests that hold the manual page and the shell completion to it read it.
#pragma once

#include <string>
#include <vector>

namespace tolverdine::cli {

struct OptionHelp {
  std::string name;   // without the leading "--"
  std::string value;  // the value's placeholder; empty for a switch
  std::string text;
};

struct ExitHelp {
  int code = 0;
  std::string text;
};

struct CommandHelp {
  std::string name;      // "ingest", "profiles sign"
  std::string synopsis;  // arguments after the name
  std::string summary;   // one line
  std::vector<OptionHelp> options;
  std::vector<ExitHelp> exits;
};

/// Every command, in the order the usage list shows them.
const std::vector<CommandHelp>& commandHelp();
/// The entry for a command name (the first word is enough: "profiles"); null when unknown.
const CommandHelp* findCommand(const std::string& name);
/// "사용법: tolverdine …" and one line per command.
std::string usageText();
/// The whole help of one command: synopsis, summary, options, exit codes.
std::string helpText(const CommandHelp& c);
/// "tolverdine 0.3.0".
std::string versionText();

/// tolverdine help [COMMAND]: 0, or 64 for an unknown command.
int runHelp(int argc, char** argv);

}  // namespace tolverdine::cli
