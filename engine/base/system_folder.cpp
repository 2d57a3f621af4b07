#include "engine/base/system_folder.h"

#include <sys/statvfs.h>

#include <string>
#include <string_view>

#include "engine/base/canonical_path.h"

namespace tolverdine {

namespace {
bool under(std::string_view path, std::string_view folder) {
  return path == folder || (path.size() > folder.size() &&
                            path.substr(0, folder.size()) == folder && path[folder.size()] == '/');
}

// statfs(2) magic numbers of the kernel's own file systems.
bool kernelFs(long type) {
  switch (type) {
    case 0x9fa0:      // proc
    case 0x62656572:  // sysfs
    case 0x1cd1:      // devpts
    case 0x64626720:  // debugfs
    case 0x73636673:  // securityfs
    case 0x27e0eb:    // cgroup
    case 0x63677270:  // cgroup2
    case 0xcafe4a11:  // bpf
    case 0x74726163:  // tracefs
      return true;
    default: return false;
  }
}
}  // namespace

std::optional<std::string> systemFolderProblem(const std::string& canonical, Fs& fs,
                                               const std::string& named) {
  if (canonical.empty() || canonical[0] != '/') return "\"/\" 로 시작하는 경로여야 합니다";
  const std::string written = named.empty() ? canonical : lexicalPath(named);
  if (canonical == "/" || written == "/")
    return "시스템 디스크의 맨 위 폴더(/)에는 복사하지 않습니다";
  if (under(written, "/run/media")) return std::nullopt;
  for (const char* system : {"/bin", "/boot", "/dev", "/etc", "/lib", "/lib32", "/lib64", "/libx32",
                             "/proc", "/run", "/sbin", "/snap", "/sys", "/usr", "/var"})
    if (under(written, system))
      return std::string("시스템 폴더에는 복사하지 않습니다 (") + system + ")";
  struct statvfs vfs {};
  if (fs.statvfs(canonical, &vfs) == 0) {
    if (kernelFs(fs.fsType(canonical))) return "시스템 파일 시스템에는 복사하지 않습니다";
    if (vfs.f_flag & ST_RDONLY) return "읽기 전용 드라이브입니다";
  }
  return std::nullopt;
}

}  // namespace tolverdine
