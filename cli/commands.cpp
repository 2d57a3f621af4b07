#include "cli/commands.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "cli/help.h"

namespace tolverdine::cli {

namespace {
int usage() {
  std::fputs(usageText().c_str(), stderr);
  return 64;
}
}  // namespace

int runDemo(int argc, char** argv);
int runIngest(int argc, char** argv);
int runStatus(int argc, char** argv);
int runStats(int argc, char** argv);
int runTwin(int argc, char** argv);
int runVerify(int argc, char** argv);
int runIdentify(int argc, char** argv);
int runTree(int argc, char** argv);
int runProfiles(int argc, char** argv);
int runMirror(int argc, char** argv);
int runReclassify(int argc, char** argv);
int runProject(int argc, char** argv);
int runDiagnostics(int argc, char** argv);
int runSearch(int argc, char** argv);
int runHistory(int argc, char** argv);
int runSuggestions(int argc, char** argv);
int runServe(int argc, char** argv);
int runOpen(int argc, char** argv);

int run(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  if (cmd == "--version" || cmd == "version") {
    std::printf("%s\n", versionText().c_str());
    return 0;
  }
  if (cmd == "help" || cmd == "--help" || cmd == "-h") return runHelp(argc - 1, argv + 1);
  if (argc == 3 && std::strcmp(argv[2], "--help") == 0 && findCommand(cmd)) return runHelp(2, argv);
  if (cmd == "demo") return runDemo(argc - 1, argv + 1);
  if (cmd == "ingest") return runIngest(argc - 1, argv + 1);
  if (cmd == "status") return runStatus(argc - 1, argv + 1);
  if (cmd == "stats") return runStats(argc - 1, argv + 1);
  if (cmd == "twin") return runTwin(argc - 1, argv + 1);
  if (cmd == "verify") return runVerify(argc - 1, argv + 1);
  if (cmd == "identify") return runIdentify(argc - 1, argv + 1);
  if (cmd == "tree") return runTree(argc - 1, argv + 1);
  if (cmd == "profiles") return runProfiles(argc - 1, argv + 1);
  if (cmd == "mirror") return runMirror(argc - 1, argv + 1);
  if (cmd == "reclassify") return runReclassify(argc - 1, argv + 1);
  if (cmd == "project") return runProject(argc - 1, argv + 1);
  if (cmd == "diagnostics") return runDiagnostics(argc - 1, argv + 1);
  if (cmd == "search") return runSearch(argc - 1, argv + 1);
  if (cmd == "history") return runHistory(argc - 1, argv + 1);
  if (cmd == "suggestions") return runSuggestions(argc - 1, argv + 1);
  if (cmd == "serve") return runServe(argc - 1, argv + 1);
  if (cmd == "open") return runOpen(argc - 1, argv + 1);
  return usage();
}

}  // namespace tolverdine::cli
