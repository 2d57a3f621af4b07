// Checks a project folder against its hash lists: the chain against the generation files, every
// listed file against the hash its history expects, and the files no generation lists.
#pragma once

#include <string>
#include <vector>

#include "os/fs.h"

namespace tolverdine {

enum class FileState { ok, changed, missing, unreadable, noHash };
enum class ChainState { ok, mismatch, missing, unlisted };

struct FileCheck {
  std::string path;  // relative to the project folder
  FileState state = FileState::ok;
  std::string type;  // the hash type checked ("xxh64", "md5", ...); empty for noHash
};

struct ChainCheck {
  std::string name;  // generation file name
  ChainState state = ChainState::ok;
};

struct MHLVerifyReport {
  std::vector<ChainCheck> chain;
  std::vector<FileCheck> files;         // sorted by path
  std::vector<std::string> unreadable;  // hash-list files that are not well-formed or unreadable
  std::vector<std::string>
      unlisted;              // files on disk no generation lists, outside the ignore patterns
  bool noHashLists = false;  // no generation file at all
  /// Every listed file matches, nothing is missing and every list could be read. Files no list
  /// names are reported but do not make a folder unclean.
  bool clean() const;
};

/// Reads every generation of root/ascmhl in sequence order (a move carries a file's history to
/// its new path) and the chain, re-hashes every listed file against the newest hash not marked
/// "failed", in the strongest type recorded there, and lists the files no generation names. A
/// subfolder with an ascmhl folder of its own (a nested history) is verified by its own lists.
MHLVerifyReport verifyMHL(const std::string& root, Fs& fs = realFs());

}  // namespace tolverdine
