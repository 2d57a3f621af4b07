#include "cli/linux_app.h"

#include <sys/statvfs.h>

#include <cstdio>

#include "platform/login_item.h"
#include "platform/sleep_inhibitor.h"
#include "platform/volume_uuid.h"

namespace tolverdine::cli {

namespace {
std::optional<int64_t> capacityOf(const std::string& path) {
  struct statvfs v {};
  if (::statvfs(path.c_str(), &v) != 0) return std::nullopt;
  return static_cast<int64_t>(v.f_blocks) * static_cast<int64_t>(v.f_frsize);
}
}  // namespace

LinuxApp::LinuxApp(const LinuxAppOptions& o)
    : log_(&clock_, o.teeLog), prefs_(o.supportDir), watcher_(o.watch) {
  ModelServices svc{main_,
                    prefs_,
                    log_,
                    notifier_,
                    webhook_,
                    o.ejector ? *o.ejector : static_cast<Ejector&>(udisks_),
                    holders_,
                    links_,
                    clock_,
                    opener_,
                    o.watchVolumes ? &watcher_ : nullptr,
                    [] { return std::make_unique<LogindSleepInhibitor>(); }};
  ModelOptions mopt;
  mopt.terms = o.terms;
  mopt.volumeId = volumeUUID;
  mopt.capacity = capacityOf;
  mopt.loginItem.command = o.loginCommand;
  for (const auto& p : o.watch.extraPrefixes) mopt.destinationPrefixes.push_back(p);
  model_ = std::make_unique<Model>(svc, mopt);
  backend_ = std::make_unique<web::ModelBackend>(*model_, main_);
  web::WebServerOptions sopt;
  sopt.port = o.port;
  server_ = std::make_unique<web::WebServer>(*backend_, sopt);
}

bool LinuxApp::start() {
  if (!server_->start()) {
    std::fprintf(stderr, "웹 화면을 열지 못했습니다: %s\n", server_->error().c_str());
    return false;
  }
  model_->start();
  return true;
}

}  // namespace tolverdine::cli
