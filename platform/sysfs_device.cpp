#include "platform/sysfs_device.h"

#include <limits.h>
#include <stdlib.h>

#include "engine/base/text.h"

namespace tolverdine {

std::optional<BlockFacts> blockFacts(const std::string& bsd, const std::string& sysfsRoot) {
  char buf[PATH_MAX];
  if (bsd.empty() || bsd.find('/') != std::string::npos) return std::nullopt;
  if (!realpath((sysfsRoot + "/class/block/" + bsd).c_str(), buf)) return std::nullopt;
  std::string dir = buf;
  BlockFacts f;
  f.bsd = bsd;
  const std::string disk = wholeDiskDir(dir);
  f.wholeDisk = lastComponent(disk);
  f.removableFlag = sysfsAttr(disk, "removable") == "1";
  f.usb = disk.find("/usb") != std::string::npos;
  f.mmc = f.wholeDisk.rfind("mmcblk", 0) == 0 || disk.find("/mmc") != std::string::npos;
  f.loop = f.wholeDisk.rfind("loop", 0) == 0;
  f.model = sysfsAttr(disk + "/device", "model");
  return f;
}

}  // namespace tolverdine
