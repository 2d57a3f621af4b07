#include "platform/mount_table.h"

#include <limits.h>
#include <stdlib.h>

#include <sstream>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "os/mountinfo.h"

namespace tolverdine {

std::vector<MountEntry> parseMountinfo(const std::string& text) {
  std::vector<MountEntry> out;
  for (auto& m : parseMountLines(text))
    out.push_back({std::move(m.mountPoint), std::move(m.source), std::move(m.fstype)});
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
