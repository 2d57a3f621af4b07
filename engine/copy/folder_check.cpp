#include "engine/copy/folder_check.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "engine/copy/preflight.h"

namespace tolverdine {

const char* const kPermPending = "확인 중…";
// Linux has no privacy pane or permission window: a refusal is the folder's own permissions or
// mount, and a test that hangs waits on a device that does not answer.
const char* const kPermNoAnswer =
    "응답 없음 — 장치가 답하지 않습니다. 연결을 확인하고 다시 꽂으세요";

std::vector<PermCheck> permissionList(const std::vector<std::string>& dests,
                                      const std::vector<std::string>& cascadeDests,
                                      const std::vector<std::string>& cards) {
  std::vector<PermCheck> out;
  for (const auto& p : dests) out.push_back({p, true, kPermPending, false});
  for (const auto& p : cascadeDests) out.push_back({p, true, kPermPending, false});
  for (const auto& p : cards) out.push_back({p, false, kPermPending, false});
  return out;
}

std::string permState(bool write, int err) {
  switch (err) {
    case 0: return write ? "쓰기 됨" : "읽기 됨";
    case EPERM:
    case EACCES: return "권한이 막음 — 폴더의 소유자와 쓰기·읽기 권한을 확인하세요";
    case ENOENT: return "연결 안 됨";
    case EROFS: return "읽기 전용 — 목적지로 쓸 수 없습니다";
    default: {
      char buf[256];
      // GNU strerror_r may return a static text instead of filling buf.
      const char* s = strerror_r(err, buf, sizeof buf);
      return std::string("실패 — ") + s;
    }
  }
}

std::string permLogLine(const std::string& path, bool write, int err) {
  return "권한 점검: " + path + " · " + (write ? "쓰기" : "읽기") + " · " +
         (err == 0 ? std::string("됨") : "errno " + std::to_string(err));
}

bool applyPermResult(std::vector<PermCheck>& checks, const std::string& path, bool write, int err) {
  bool found = false;
  // A path listed twice (a destination that is also a cascade target) takes the result in both.
  for (auto& c : checks) {
    if (c.path != path || c.write != write) continue;
    c.ok = err == 0;
    c.state = permState(c.write, err);
    found = true;
  }
  return found;
}

void markUnanswered(std::vector<PermCheck>& checks) {
  for (auto& c : checks)
    if (c.state == kPermPending) c.state = kPermNoAnswer;
}

std::vector<PermCheck> runPermissionChecks(const std::vector<std::string>& dests,
                                           const std::vector<std::string>& cascadeDests,
                                           const std::vector<std::string>& cards,
                                           const std::function<void(const std::string&)>& logLine,
                                           const FolderProbeFn& write, const FolderProbeFn& read) {
  std::vector<PermCheck> checks = permissionList(dests, cascadeDests, cards);
  std::vector<int> errs(checks.size(), 0);
  {
    std::vector<std::jthread> workers;
    for (size_t i = 0; i < checks.size(); ++i) {
      workers.emplace_back([&, i] {
        const auto& c = checks[i];
        errs[i] = c.write ? (write ? write(c.path) : probeWrite(c.path))
                          : (read ? read(c.path) : probeRead(c.path));
      });
    }
  }
  for (size_t i = 0; i < checks.size(); ++i) {
    checks[i].ok = errs[i] == 0;
    checks[i].state = permState(checks[i].write, errs[i]);
    if (logLine) logLine(permLogLine(checks[i].path, checks[i].write, errs[i]));
  }
  return checks;
}

}  // namespace tolverdine
