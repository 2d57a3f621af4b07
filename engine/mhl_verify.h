// Checks a project folder against its hash lists: the chain against the generation files, and
// every listed file against its latest recorded XXH64.
#pragma once

#include <string>
#include <vector>

namespace tolverdine {

enum class FileState { ok, changed, missing, unreadable };
enum class ChainState { ok, mismatch, missing, unlisted };

struct FileCheck {
  std::string path;  // relative to the project folder
  FileState state = FileState::ok;
};

struct ChainCheck {
  std::string name;  // generation file name
  ChainState state = ChainState::ok;
};

struct MHLVerifyReport {
  std::vector<ChainCheck> chain;
  std::vector<FileCheck> files;          // sorted by path
  std::vector<std::string> unreadable;   // hash-list files that are not well-formed or unreadable
  bool noHashLists = false;              // no generation file at all
  bool clean() const;
};

/// Reads every generation of root/ascmhl in sequence order (a later entry for a path replaces an
/// earlier one, a move drops its previous path) and the chain, then re-hashes every listed file.
MHLVerifyReport verifyMHL(const std::string& root);

}  // namespace tolverdine
