#include "os/sysfs.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace tolverdine {

std::optional<std::string> sysfsAttr(const std::string& dir, const std::string& name) {
  std::ifstream in(dir + "/" + name, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream all;
  all << in.rdbuf();
  const std::string s = all.str();
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::nullopt;
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::string wholeDiskDir(const std::string& dir) {
  if (::access((dir + "/partition").c_str(), F_OK) != 0) return dir;
  const size_t slash = dir.rfind('/');
  return slash == std::string::npos ? dir : dir.substr(0, slash);
}

}  // namespace tolverdine
