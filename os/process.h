// Runs a child program without a shell and collects its standard output, with a time limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tolverdine {

struct RunOptions {
  /// The child (and everything it started in its process group) is killed after this long.
  std::chrono::milliseconds timeout{10000};
  /// Output beyond this many bytes is read and dropped, so a runaway child cannot fill memory.
  size_t maxOutput = 64u << 20;
  /// Keep standard error (in RunResult::err) instead of sending it to /dev/null.
  bool captureStderr = false;
};

struct RunResult {
  int status = -1;         // exit status; -1 when killed by a signal or timed out
  int signal = 0;          // terminating signal, 0 when it exited
  bool timedOut = false;   // killed because it ran past RunOptions::timeout
  bool truncated = false;  // output went past RunOptions::maxOutput
  std::string out;
  std::string err;
  bool ok() const { return status == 0 && !timedOut; }
};

/// Starts argv[0] (a path, not searched in PATH) with argv as arguments, standard input from
/// /dev/null, and reads its output to the end before reaping it. Absent when it cannot be started.
std::optional<RunResult> runProcess(const std::vector<std::string>& argv,
                                    const RunOptions& opt = {});

/// A started child that is killed (its whole process group) and reaped if dropped unreaped.
class Child {
 public:
  Child() = default;
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(Child&& o) noexcept;
  Child& operator=(Child&& o) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  pid_t pid() const { return pid_; }
  /// Non-blocking reap; true once the child has exited (raw wait status in *status).
  bool poll(int* status);
  /// SIGKILL to the child's process group, then a blocking reap.
  void kill();

 private:
  pid_t pid_ = -1;
};

}  // namespace tolverdine
