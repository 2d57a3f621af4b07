// Facts about a block device read from sysfs: its whole disk, bus, removable flag and model.
#pragma once

#include <optional>
#include <string>

#include "os/sysfs.h"

namespace tolverdine {

struct BlockFacts {
  std::string bsd;             // sdb1
  std::string wholeDisk;       // sdb
  bool removableFlag = false;  // the whole disk's "removable" attribute
  bool usb = false;
  bool mmc = false;
  bool loop = false;
  std::optional<std::string> model;
};

/// Absent when sysfsRoot/class/block/bsd does not resolve.
std::optional<BlockFacts> blockFacts(const std::string& bsd, const std::string& sysfsRoot);

}  // namespace tolverdine
