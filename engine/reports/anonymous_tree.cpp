#include "engine/reports/anonymous_tree.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

namespace tolverdine {

namespace {
std::string upperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::string upperExt(const std::string& name) {
  auto dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return "";
  return upperAscii(name.substr(dot + 1));
}

struct Tree {
  const WalkFs& fs;
  int maxDepth;
  std::vector<std::string> lines;
  std::set<std::pair<dev_t, ino_t>> seen;  // a folder linked into itself would never end

  void visit(const std::string& dir, int depth) {
    if (depth > maxDepth) return;
    struct ::stat self {};
    if (fs.stat(dir, self) == 0 && !seen.insert({self.st_dev, self.st_ino}).second) return;
    std::vector<std::string> names;
    if (fs.list(dir, names) != 0) return;
    std::sort(names.begin(), names.end());
    std::vector<std::string> folders;
    std::map<std::string, int> counts;
    for (const auto& n : names) {
      if (n.empty() || n[0] == '.') continue;
      struct ::stat st {};
      std::string path = dir + "/" + n;
      // A link is not followed: it could lead off the card.
      if (fs.lstat(path, st) == 0 && S_ISDIR(st.st_mode)) folders.push_back(n);
      else ++counts[upperExt(n)];
    }
    std::string indent(static_cast<size_t>(depth) * 2, ' ');
    for (const auto& [ext, n] : counts)
      lines.push_back(indent + "*." + (ext.empty() ? std::string("(없음)") : ext) + " × " +
                      std::to_string(n));
    for (const auto& f : folders) {
      lines.push_back(indent + f + "/");
      visit(dir + "/" + f, depth + 1);
    }
  }
};
}  // namespace

std::string anonymousTree(const std::string& root, int maxDepth, const WalkFs& fs) {
  Tree t{fs, maxDepth, {}, {}};
  t.visit(root, 0);
  std::string out;
  for (size_t i = 0; i < t.lines.size(); ++i) {
    if (i) out += "\n";
    out += t.lines[i];
  }
  return out;
}

std::string anonymousTreeHeader(const std::string& version) {
  return "TOLVERDINE " + version + " · 폴더 구조 (파일 내용·이름 없음)";
}

}  // namespace tolverdine
