// A small parser for sub-command arguments: positional words, "--name value" options (repeatable)
// and "--flag" switches; anything unknown is a usage error.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tolverdine::cli {

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>> options;
  std::set<std::string> flags;

  std::optional<std::string> last(const std::string& name) const;
  const std::vector<std::string>& all(const std::string& name) const;
  bool has(const std::string& flag) const { return flags.count(flag) > 0; }
};

/// argv[0] is the sub-command's name. Absent (after a message on stderr) on an unknown option or
/// an option without its value.
std::optional<Args> parseArgs(int argc, char** argv, const std::set<std::string>& valued,
                              const std::set<std::string>& switches);

/// A whole positive decimal number, absent otherwise.
std::optional<int> positiveInt(const std::string& s);

}  // namespace tolverdine::cli
