#include "platform/mount_table.h"

#include <limits.h>
#include <stdlib.h>

#include <sstream>

#include "engine/base/files.h"
#include "engine/base/text.h"

namespace tolverdine {

namespace {
std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
        s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      out += char((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}
}  // namespace

std::vector<MountEntry> parseMountinfo(const std::string& text) {
  std::vector<MountEntry> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::vector<std::string> w;
    for (std::string t; f >> t;) w.push_back(t);
    // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
    size_t dash = 0;
    for (size_t i = 6; i < w.size(); ++i)
      if (w[i] == "-") {
        dash = i;
        break;
      }
    if (dash == 0 || dash + 2 >= w.size()) continue;
    out.push_back({unescape(w[4]), unescape(w[dash + 2]), w[dash + 1]});
  }
  return out;
}

std::vector<MountEntry> readMountTable(const std::string& path) {
  std::string text;
  if (!readFile(path, &text)) return {};
  return parseMountinfo(text);
}

std::optional<MountEntry> mountAt(const std::vector<MountEntry>& table,
                                  const std::string& mountPoint) {
  std::optional<MountEntry> hit;
  for (const auto& e : table)
    if (e.mountPoint == mountPoint) hit = e;
  return hit;
}

std::optional<std::string> blockName(const std::string& source, const std::string& sysfsRoot) {
  if (source.rfind("/dev/", 0) != 0) return std::nullopt;
  std::string dev = source;
  char buf[PATH_MAX];
  if (realpath(source.c_str(), buf)) dev = buf;
  std::string name = lastComponent(dev);
  if (name.empty() || !exists(sysfsRoot + "/class/block/" + name)) return std::nullopt;
  return name;
}

}  // namespace tolverdine
