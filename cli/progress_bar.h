// The terminal line of a running ingest: file n/count, bytes, MB/s and time left.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tolverdine::cli {

/// The line itself, for a given elapsed time; no terminal control characters.
std::string progressLine(int n, int count, const std::string& file, int64_t done, int64_t total,
                         double seconds);

class ProgressBar {
 public:
  /// Draws on out only when it is a terminal; elsewhere (a pipe, a log) it stays silent.
  explicit ProgressBar(std::FILE* out);
  void update(int n, int count, const std::string& file, int64_t done, int64_t total);
  /// Ends the line so later output starts on a fresh one.
  void finish();

 private:
  std::FILE* out_;
  bool tty_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace tolverdine::cli
