#include "cli/args.h"

#include <charconv>
#include <cstdio>

namespace tolverdine::cli {

std::optional<std::string> Args::last(const std::string& name) const {
  auto it = options.find(name);
  if (it == options.end() || it->second.empty()) return std::nullopt;
  return it->second.back();
}

const std::vector<std::string>& Args::all(const std::string& name) const {
  static const std::vector<std::string> kNone;
  auto it = options.find(name);
  return it == options.end() ? kNone : it->second;
}

std::optional<Args> parseArgs(int argc, char** argv, const std::set<std::string>& valued,
                              const std::set<std::string>& switches) {
  Args a;
  bool onlyWords = false;
  for (int i = 1; i < argc; ++i) {
    std::string w = argv[i];
    if (onlyWords || w.size() < 3 || w.compare(0, 2, "--") != 0) {
      a.positional.push_back(w);
      continue;
    }
    if (w == "--") {
      onlyWords = true;
      continue;
    }
    std::string name = w.substr(2);
    if (switches.count(name)) {
      a.flags.insert(name);
    } else if (valued.count(name)) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "값이 없습니다: %s\n", w.c_str());
        return std::nullopt;
      }
      a.options[name].push_back(argv[++i]);
    } else {
      std::fprintf(stderr, "알 수 없는 옵션: %s\n", w.c_str());
      return std::nullopt;
    }
  }
  return a;
}

std::optional<int> positiveInt(const std::string& s) {
  int v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || v <= 0) return std::nullopt;
  return v;
}

}  // namespace tolverdine::cli
