#include "platform/volume_holders.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "os/process.h"

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

namespace {
bool under(const std::string& path, const std::string& root) {
  if (root == "/") return !path.empty() && path[0] == '/';
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

std::string linkTarget(const std::string& link) {
  char buf[PATH_MAX];
  ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
  return n > 0 && static_cast<size_t>(n) < sizeof buf ? std::string(buf, static_cast<size_t>(n))
                                                      : std::string();
}

bool holds(const std::string& procDir, const std::string& root) {
  if (under(linkTarget(procDir + "/cwd"), root)) return true;
  DIR* d = ::opendir((procDir + "/fd").c_str());
  if (!d) return false;  // another user's process, or gone
  bool found = false;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    if (under(linkTarget(procDir + "/fd/" + e->d_name), root)) {
      found = true;
      break;
    }
  }
  ::closedir(d);
  return found;
}
}  // namespace

std::vector<std::string> procHolders(const std::string& mountPoint, const std::string& procRoot,
                                     std::string_view ownName) {
  char buf[PATH_MAX];
  std::string root = ::realpath(mountPoint.c_str(), buf) ? std::string(buf) : mountPoint;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  const std::string self = std::to_string(::getpid());
  std::set<std::string> names;
  DIR* d = ::opendir(procRoot.c_str());
  if (!d) return {};
  while (dirent* e = ::readdir(d)) {
    std::string pid = e->d_name;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
      continue;
    const std::string dir = procRoot + "/" + pid;
    if (!holds(dir, root)) continue;
    std::ifstream in(dir + "/comm");
    std::string comm;
    if (std::getline(in, comm) && !comm.empty()) names.insert(comm);
  }
  ::closedir(d);
  names.erase(std::string(ownName));
  return {names.begin(), names.end()};
}

std::vector<std::string> LsofVolumeHolders::holders(const std::string& mountPoint) {
  for (const auto& lsof : lsof_) {
    if (::access(lsof.c_str(), X_OK) != 0) continue;
    auto r = runProcess({lsof, "-Fc", mountPoint});
    if (!r) continue;
    auto names = parseLsofHolders(r->out, "Tolverdine");
    std::string comm = ownComm();
    names.erase(std::remove(names.begin(), names.end(), comm), names.end());
    return names;
  }
  return procHolders(mountPoint, proc_);
}

}  // namespace tolverdine
