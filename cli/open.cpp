// tolverdine open: the page of the running application in the browser; the application is
// started first when it does not run.
#include "cli/open.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "engine/base/files.h"
#include "os/fd.h"
#include "os/home.h"
#include "os/process.h"
#include "platform/login_item.h"
#include "platform/preferences_store.h"

namespace tolverdine::cli {

std::string pageAddressPath() { return applicationSupportDir() + "/web.url"; }

bool serveRunning() {
  UniqueFd lock(::open((applicationSupportDir() + "/serve.lock").c_str(), O_RDONLY | O_CLOEXEC));
  if (!lock) return false;
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) return false;  // released when lock closes
  return true;
}

namespace {
// Starts `tolverdine serve` apart from this process (new session, no terminal), not waited for.
bool spawnServe() {
  const std::string self = selfExecutable();
  if (self.empty()) return false;
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0), ::dup2(null, 1), ::dup2(null, 2);
      if (null > 2) ::close(null);
    }
    ::execl(self.c_str(), "tolverdine", "serve", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return true;
}

bool startService() {
  LoginItem service({});
  if (service.userService()) {
    auto r = runProcess({findOnPath("systemctl"), "--user", "start", "tolverdine.service"});
    if (r && r->ok()) return true;
  }
  return spawnServe();
}
}  // namespace

int runOpen(int argc, char**) {
  if (argc != 1) {
    std::fprintf(stderr, "사용법: tolverdine open\n");
    return 64;
  }
  const std::string file = pageAddressPath();
  std::string url;
  if (!serveRunning()) {
    ::unlink(file.c_str());  // left by an instance that did not end cleanly
    mkdirs(applicationSupportDir());
    if (!startService()) {
      std::fprintf(stderr, "tolverdine serve 를 시작하지 못했습니다\n");
      return 1;
    }
  }
  // The page address appears once the instance serves its page.
  for (int i = 0; i < 150 && !(serveRunning() && readFile(file, &url) && !url.empty()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  while (!url.empty() && (url.back() == '\n' || url.back() == '\r')) url.pop_back();
  if (url.empty()) {
    std::fprintf(
        stderr,
        "tolverdine serve 가 웹 화면 주소를 알리지 않았습니다 (기록: ~/Library/Logs/TOLVERDINE/app.log)\n");
    return 1;
  }
  std::printf("%s\n", url.c_str());
  std::fflush(stdout);
  const std::string opener = findOnPath("xdg-open");
  if (opener.empty()) {
    std::fprintf(stderr, "xdg-open 이 없습니다: 위 주소를 브라우저에서 여세요\n");
    return 1;
  }
  RunOptions o;
  o.captureStderr = true;
  o.timeout = std::chrono::seconds(30);
  auto r = runProcess({opener, url}, o);
  if (r && r->ok()) return 0;
  // xdg-open exits 3 when no program for web pages is set up on this desktop.
  std::string why = !r               ? "xdg-open 을 실행하지 못함"
                    : r->status == 3 ? "웹 페이지를 열 프로그램이 설정되지 않음"
                    : r->timedOut    ? "xdg-open 이 30초 안에 끝나지 않음"
                                     : "xdg-open 종료 코드 " + std::to_string(r->status);
  std::string said = r ? r->err.substr(0, r->err.find('\n')) : "";
  std::fprintf(stderr, "브라우저를 열지 못했습니다: %s%s — 위 주소를 브라우저에서 여세요\n",
               why.c_str(), said.empty() ? "" : (" (" + said + ")").c_str());
  return 1;
}

}  // namespace tolverdine::cli
