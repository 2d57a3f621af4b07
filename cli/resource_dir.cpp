#include "cli/resource_dir.h"

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "platform/login_item.h"

#ifndef TOLVERDINE_RESOURCE_DIR
#define TOLVERDINE_RESOURCE_DIR "resources"
#endif

namespace tolverdine::cli {

std::string resourceDir(const std::string& exePath) {
  if (!exePath.empty()) {
    // An unpacked package (dpkg -x into any root) finds its own copy the same way.
    std::string installed = parentPath(parentPath(exePath)) + "/share/tolverdine";
    if (exists(installed + "/EULA.ko.md")) return installed;
  }
  return TOLVERDINE_RESOURCE_DIR;
}

std::string resourceDir() { return resourceDir(selfExecutable()); }

}  // namespace tolverdine::cli
