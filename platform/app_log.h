// The application's own log: one timestamped line per event.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tolverdine {

class Clock;

/// "2026-03-05T09:38:22Z message" (UTC, whole seconds).
std::string appLogLine(std::chrono::system_clock::time_point t, const std::string& message);

class AppLog {
 public:
  virtual ~AppLog() = default;
  /// From any thread; errors are dropped.
  virtual void log(const std::string& message) = 0;
};

/// Appends to "$HOME/Library/Logs/TOLVERDINE/app.log" (folder made when missing).
class FileAppLog : public AppLog {
 public:
  /// clock null: the system clock. tee: also write each line to standard error.
  explicit FileAppLog(Clock* clock = nullptr, bool tee = false, std::string path = defaultPath());
  void log(const std::string& message) override;
  const std::string& path() const { return path_; }
  static std::string defaultPath();

 private:
  Clock* clock_;
  bool tee_;
  std::string path_;
};

class FakeAppLog : public AppLog {
 public:
  std::vector<std::string> lines;  // messages, without time
  void log(const std::string& message) override { lines.push_back(message); }
};

}  // namespace tolverdine
