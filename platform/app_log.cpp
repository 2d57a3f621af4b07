#include "platform/app_log.h"

#include <cstdio>
#include <cstdlib>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "os/home.h"
#include "os/log_line.h"
#include "platform/clock.h"

namespace tolverdine {

std::string appLogLine(std::chrono::system_clock::time_point t, const std::string& message) {
  return isoTime(std::chrono::system_clock::to_time_t(t)) + " " + message;
}

std::string FileAppLog::defaultPath() { return applicationLogsDir() + "/app.log"; }

FileAppLog::FileAppLog(Clock* clock, bool tee, std::string path)
    : clock_(clock), tee_(tee), path_(std::move(path)) {}

void FileAppLog::log(const std::string& message) {
  auto now = clock_ ? clock_->now() : std::chrono::system_clock::now();
  std::string line = appLogLine(now, message);
  if (tee_) std::fprintf(stderr, "%s\n", line.c_str());
  if (appendLogLine(path_, line)) return;
  // First line ever, or the folder was removed meanwhile.
  mkdirs(parentPath(path_));
  appendLogLine(path_, line);
}

}  // namespace tolverdine
