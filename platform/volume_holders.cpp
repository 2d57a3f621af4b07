#include "platform/volume_holders.h"

#include <algorithm>
#include <fstream>
#include <set>

#include "engine/process.h"

namespace tolverdine {

std::vector<std::string> parseLsofHolders(std::string_view out, std::string_view ownName) {
  std::set<std::string> names;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t nl = out.find('\n', pos);
    if (nl == std::string_view::npos) nl = out.size();
    std::string_view line = out.substr(pos, nl - pos);
    pos = nl + 1;
    if (line.size() > 1 && line[0] == 'c') names.emplace(line.substr(1));
  }
  names.erase(std::string(ownName));
  return {names.begin(), names.end()};
}

namespace {
// The kernel's name for this process (what lsof reports), besides the application's own name.
std::string ownComm() {
  std::ifstream in("/proc/self/comm");
  std::string s;
  std::getline(in, s);
  return s;
}
}  // namespace

std::vector<std::string> LsofVolumeHolders::holders(const std::string& mountPoint) {
  for (const char* lsof : {"/usr/bin/lsof", "/usr/sbin/lsof"}) {
    auto r = runProcess({lsof, "-Fc", mountPoint});
    if (!r) continue;
    auto names = parseLsofHolders(r->out, "Tolverdine");
    std::string comm = ownComm();
    names.erase(std::remove(names.begin(), names.end(), comm), names.end());
    return names;
  }
  return {};
}

}  // namespace tolverdine
