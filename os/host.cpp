#include "os/host.h"

#include <unistd.h>

namespace tolverdine {

const std::string& hostName() {
  static const std::string name = [] {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return std::string("unknown");
    return std::string(buf);
  }();
  return name;
}

}  // namespace tolverdine
