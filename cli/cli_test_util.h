// Runs the tolverdine binary on a small card of its own, with a home folder of its own.
#pragma once

#include <string>
#include <vector>

#include "engine/base/files.h"
#include "os/process.h"
#include "testing/test_util.h"

namespace tolverdine {

/// A card of three files and two destination folders in a temporary folder.
struct Cli {
  TempDir dir;
  bool asNobody = false;  // run as an ordinary user, for whom permissions hold
  TempDrive one, two;     // one drive is one copy: the destinations are two drives
  std::string card = dir.path + "/card", d1 = one.path + "/SSD1", d2 = two.path + "/SSD2";
  std::string db = dir.path + "/home/Library/Application Support/TOLVERDINE/ingest.sqlite";
  Cli() {
    mkdirs(card + "/PRIVATE/M4ROOT/CLIP");
    mkdirs(d1);
    mkdirs(d2);
    writePattern(card + "/PRIVATE/M4ROOT/CLIP/C0001.MP4", 300000, 1);
    writePattern(card + "/PRIVATE/M4ROOT/CLIP/C0002.MP4", 70000, 2);
    writePattern(card + "/PRIVATE/M4ROOT/STATUS.BIN", 100, 3);
  }
  /// The command run with args from the folder cwd (empty: this process's), so relative paths are
  /// the user's.
  RunResult run(std::vector<std::string> args, const std::string& command = "ingest",
                const std::string& cwd = "") const {
    std::vector<std::string> argv;
    if (asNobody) argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    argv.push_back("/usr/bin/env");
    if (!cwd.empty()) argv.insert(argv.end(), {"-C", cwd});
    for (std::string w : {"HOME=" + dir.path + "/home", std::string(TOLVERDINE_BINARY), command})
      argv.push_back(w);
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions o;
    o.timeout = std::chrono::milliseconds(60000);
    o.captureStderr = true;
    auto r = runProcess(argv, o);
    return r ? *r : RunResult{};
  }
};

inline bool has(const RunResult& r, const std::string& text) {
  return r.out.find(text) != std::string::npos;
}

/// The one path a shell pattern names ("" when none).
inline std::string only(const std::string& pattern) {
  std::string p = shellOutput("ls -d " + pattern + " 2>/dev/null | head -1").out;
  if (!p.empty()) p.pop_back();
  return p;
}

}  // namespace tolverdine
