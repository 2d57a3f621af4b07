#include "platform/volume_uuid.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "os/mountinfo.h"

namespace tolverdine {

namespace {

bool underMount(const std::string& path, const std::string& mnt) {
  if (mnt == "/") return !path.empty() && path[0] == '/';
  return path.compare(0, mnt.size(), mnt) == 0 &&
         (path.size() == mnt.size() || path[mnt.size()] == '/');
}

}  // namespace

std::optional<std::string> mountSource(const std::string& realPath, const std::string& mountinfo) {
  std::optional<std::string> best;
  size_t bestLen = 0;
  for (const auto& m : parseMountLines(mountinfo)) {
    if (!underMount(realPath, m.mountPoint) || m.mountPoint.size() < bestLen) continue;
    bestLen = m.mountPoint.size();
    best = m.source;
  }
  return best;
}

std::optional<std::string> volumeUUID(const std::string& path) {
  char buf[PATH_MAX];
  if (!::realpath(path.c_str(), buf)) return std::nullopt;
  std::ifstream f("/proc/self/mountinfo");
  if (!f) return std::nullopt;
  std::stringstream ss;
  ss << f.rdbuf();
  auto source = mountSource(buf, ss.str());
  if (!source || source->empty() || (*source)[0] != '/')
    return std::nullopt;  // tmpfs, overlay, ...

  return probeUuid(*source);
}

}  // namespace tolverdine
