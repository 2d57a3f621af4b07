// The application on Linux: the real platform services around one Model and its web page,
// wired the same way for `serve` and for the demo.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/model.h"
#include "platform/app_log.h"
#include "platform/clock.h"
#include "platform/eject.h"
#include "platform/notifier.h"
#include "platform/opener.h"
#include "platform/preferences_store.h"
#include "platform/reader_link.h"
#include "platform/volume_holders.h"
#include "platform/volume_watcher.h"
#include "platform/webhook.h"
#include "web/model_backend.h"
#include "web/server.h"

namespace tolverdine::cli {

struct LinuxAppOptions {
  std::string supportDir;      // settings.json and the web token live here
  VolumeWatcherOptions watch;  // its extra prefixes are also offered as destination places
  bool watchVolumes = true;    // false: volume events come only through Model::volume
  bool teeLog = false;         // the application log also on standard error
  Terms terms;
  int port = 0;                // web page; 0: any free port
  Ejector* ejector = nullptr;  // null: UDisks2 (umount2 as root)
  /// What an autostart entry starts at login: this program with the same `serve` options.
  std::vector<std::string> loginCommand;
};

class LinuxApp {
 public:
  explicit LinuxApp(const LinuxAppOptions& o);
  LinuxApp(const LinuxApp&) = delete;
  LinuxApp& operator=(const LinuxApp&) = delete;

  /// Serves the page, then starts the model; false with the Korean error on stderr.
  bool start();
  Model& model() { return *model_; }
  AppLog& log() { return log_; }
  const FileAppLog& fileLog() const { return log_; }
  web::WebServer& server() { return *server_; }

 private:
  GlibScheduler main_;
  SystemClock clock_;
  FileAppLog log_;
  JsonFilePreferences prefs_;
  DbusNotifier notifier_;
  CurlWebhookPoster webhook_;
  UDisksEjector udisks_;
  LsofVolumeHolders holders_;
  SysfsReaderLink links_;
  XdgOpener opener_;
  LinuxVolumeWatcher watcher_;
  std::unique_ptr<Model> model_;
  std::unique_ptr<web::ModelBackend> backend_;
  std::unique_ptr<web::WebServer> server_;
};

}  // namespace tolverdine::cli
