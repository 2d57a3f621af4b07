#include "platform/reader_link.h"

#include <limits.h>
#include <stdlib.h>

#include <cmath>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "platform/mount_table.h"
#include "platform/sysfs_device.h"

namespace tolverdine {

std::string ReaderLink::label() const {
  if (bps < 1'000'000'000LL) return std::to_string(bps / 1'000'000LL) + "Mbps";
  return std::to_string(bps / 1'000'000'000LL) + "Gbps";
}

namespace {
// sysfs gives Mbit/s, sometimes with a fraction ("1.5" for low-speed devices).
std::optional<int64_t> speedBps(const std::string& s) {
  char* end = nullptr;
  double mbit = std::strtod(s.c_str(), &end);
  if (end == s.c_str() || *end != '\0' || !std::isfinite(mbit) || mbit <= 0 || mbit > 1e9)
    return std::nullopt;
  return static_cast<int64_t>(std::llround(mbit * 1e6));
}
}  // namespace

std::optional<ReaderLink> SysfsReaderLink::forDevice(const std::string& bsd) const {
  char buf[PATH_MAX];
  if (bsd.empty() || bsd.find('/') != std::string::npos) return std::nullopt;
  if (!realpath((sysfs_ + "/class/block/" + bsd).c_str(), buf)) return std::nullopt;
  std::string dir = buf;
  if (exists(dir + "/partition")) dir = parentPath(dir);  // the walk starts at the whole disk
  std::string top;
  if (realpath(sysfs_.c_str(), buf)) top = buf;
  std::optional<std::string> name;
  for (int i = 0; i < 40 && !dir.empty() && dir != "/" && dir != top; ++i) {
    if (!name) name = sysfsAttr(dir, "product");
    if (auto sp = sysfsAttr(dir, "speed"))
      if (auto bps = speedBps(*sp)) return ReaderLink{name, *bps};
    dir = parentPath(dir);
  }
  return std::nullopt;
}

std::optional<ReaderLink> SysfsReaderLink::readerLink(const std::string& mountPoint) {
  char buf[PATH_MAX];
  std::string mp = realpath(mountPoint.c_str(), buf) ? std::string(buf) : mountPoint;
  auto m = mountAt(readMountTable(mountinfo_), mp);
  if (!m) return std::nullopt;
  auto bsd = blockName(m->source, sysfs_);
  if (!bsd) return std::nullopt;
  return forDevice(*bsd);
}

}  // namespace tolverdine
