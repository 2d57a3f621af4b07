#include "os/home.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace tolverdine {

HomeUnknown::HomeUnknown()
    : std::runtime_error(
          "홈 폴더를 알 수 없습니다: HOME 이 비어 있고 사용자 정보에도 홈 폴더가 없습니다") {}

std::string homeDir() {
  if (const char* h = std::getenv("HOME"); h && *h == '/') return h;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir == '/')
    return pw->pw_dir;
  throw HomeUnknown();
}

std::string applicationSupportDir() {
  return homeDir() + "/Library/Application Support/TOLVERDINE";
}

std::string applicationLogsDir() { return homeDir() + "/Library/Logs/TOLVERDINE"; }

}  // namespace tolverdine
