#include "platform/sysfs_device.h"

#include <limits.h>
#include <stdlib.h>

#include "engine/base/files.h"
#include "engine/base/text.h"

namespace tolverdine {

std::optional<std::string> sysfsAttr(const std::string& dir, const std::string& name) {
  std::string s;
  if (!readFile(dir + "/" + name, &s)) return std::nullopt;
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::nullopt;
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::optional<BlockFacts> blockFacts(const std::string& bsd, const std::string& sysfsRoot) {
  char buf[PATH_MAX];
  if (bsd.empty() || bsd.find('/') != std::string::npos) return std::nullopt;
  if (!realpath((sysfsRoot + "/class/block/" + bsd).c_str(), buf)) return std::nullopt;
  std::string dir = buf;
  BlockFacts f;
  f.bsd = bsd;
  // A partition sits inside its whole disk's folder.
  std::string disk = exists(dir + "/partition") ? parentPath(dir) : dir;
  f.wholeDisk = lastComponent(disk);
  f.removableFlag = sysfsAttr(disk, "removable") == "1";
  f.usb = disk.find("/usb") != std::string::npos;
  f.mmc = f.wholeDisk.rfind("mmcblk", 0) == 0 || disk.find("/mmc") != std::string::npos;
  f.loop = f.wholeDisk.rfind("loop", 0) == 0;
  f.model = sysfsAttr(disk + "/device", "model");
  return f;
}

}  // namespace tolverdine
