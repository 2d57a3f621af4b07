// tolverdine serve: the application itself. Watches mounts, runs the card workflow and serves
// the web page on 127.0.0.1 until SIGINT or SIGTERM; jobs in flight then run to their end.
#include <fcntl.h>
#include <sys/file.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <glib-unix.h>
#include <glib.h>

#include "cli/args.h"
#include "cli/linux_app.h"
#include "cli/open.h"
#include "cli/resource_dir.h"
#include "engine/base/canonical_path.h"
#include "engine/base/files.h"
#include "os/fd.h"
#include "os/fs.h"
#include "os/home.h"
#include "platform/login_item.h"
#include "platform/profile_update.h"
#include "web/token.h"

namespace tolverdine::cli {

namespace {
int usage() {
  std::fprintf(stderr,
               "사용법: tolverdine serve [--watch <폴더>]… [--loop-removable] [--port N]\n");
  return 64;
}

std::optional<std::string> firstLocalisation() {
  for (const char* var : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (!v || !*v) continue;
    std::string s = v;
    s = s.substr(0, s.find_first_of(":_.@"));
    return s;
  }
  return std::nullopt;
}

gboolean onSignal(gpointer data) {
  auto* quit = static_cast<int*>(data);
  ++*quit;
  if (*quit >= 2) std::_Exit(130);  // a second signal: the user does not want to wait
  return G_SOURCE_CONTINUE;
}
}  // namespace

int runServe(int argc, char** argv) {
  auto args = parseArgs(argc, argv, {"watch", "port"}, {"loop-removable"});
  if (!args || !args->positional.empty()) return usage();
  int port = 0;
  if (auto p = args->last("port")) {
    auto n = positiveInt(*p);
    if (!n || *n > 65535) return usage();
    port = *n;
  }

  // One application per user: two would run the same card twice.
  const std::string support = applicationSupportDir();
  mkdirs(support);
  UniqueFd lock(::open((support + "/serve.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    std::fprintf(stderr, "이미 다른 tolverdine serve 가 실행 중입니다\n");
    return 1;
  }

  VolumeWatcherOptions wopt;
  // The same options for a start at login, with folders made absolute (it starts in $HOME).
  std::vector<std::string> again = {selfExecutable(), "serve"};
  for (auto dir : args->all("watch")) {
    // Compared with the mount table's own paths: links resolved, but a bind mount of /tmp, say,
    // not turned into the path of the file system's main mount, which the table does not use.
    auto real = realFs().realPath(dir);
    dir = real ? *real : canonicalPath(dir);
    if (dir.empty() || dir.back() != '/') dir += "/";
    wopt.extraPrefixes.push_back(dir);
    again.insert(again.end(), {"--watch", dir});
  }
  wopt.loopRemovable = args->has("loop-removable");
  if (wopt.loopRemovable) again.push_back("--loop-removable");
  if (port) again.insert(again.end(), {"--port", std::to_string(port)});

  LinuxAppOptions ao;
  ao.supportDir = support;
  ao.watch = wopt;
  ao.teeLog = true;
  ao.terms = loadTerms(resourceDir(), termsLanguage(firstLocalisation()));
  ao.port = port;
  ao.loginCommand = again;
  LinuxApp app(ao);
  if (!app.start()) return 1;
  Model& model = app.model();
  web::WebServer& server = app.server();
  AppLog& appLog = app.log();
  // A newer camera-profile pack, if the server has one; silent on any failure.
  std::thread([] { updateProfiles(); }).detach();
  std::printf("%s\n", server.url().c_str());
  std::fflush(stdout);
  // The journal of the service keeps this too: the page opens only with its key in the address.
  std::fprintf(stderr,
               "웹 화면: 위 주소를 브라우저에서 여세요. 즐겨찾기·메뉴에서 열어 열쇠를 묻는다면 "
               "tolverdine open 을 실행하세요.\n");
  // `tolverdine open` (the menu entry) finds the page of this instance here; owner-only.
  const std::string urlFile = pageAddressPath();
  std::string err;
  if (!web::writeTokenFile(urlFile, server.url(), &err))
    appLog.log("웹 주소 파일을 쓰지 못함: " + err);

  int quit = 0;
  g_unix_signal_add(SIGINT, onSignal, &quit);
  g_unix_signal_add(SIGTERM, onSignal, &quit);
  GMainContext* ctx = g_main_context_default();
  while (!quit) g_main_context_iteration(ctx, TRUE);

  // Finished files are already recorded; the cards being copied are let run to their end.
  model.stopStarting();
  ::unlink(urlFile.c_str());
  server.stop();
  if (model.running() > 0)
    appLog.log("끝내는 중 — 복사 중인 카드 " + std::to_string(model.running()) + "장을 마칩니다");
  // A background thread counts itself done only after it posted its last step, which may run
  // first: the loop must not block on events that will never come, so it wakes on a tick.
  guint tick = g_timeout_add(
      50, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (model.running() > 0 || model.cascading() || !model.idle())
    g_main_context_iteration(ctx, TRUE);
  g_source_remove(tick);
  appLog.log("끝");
  return 0;
}

}  // namespace tolverdine::cli
