#include "os/process.h"

#include <chrono>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(Process, StatusOutputStartFailureAndLargeOutput) {
  auto r = runProcess({"/bin/sh", "-c", "printf 'a b'; echo oops >&2; exit 3"});
  ASSERT_TRUE(r);
  EXPECT_EQ(std::tuple(r->status, r->ok(), r->out, r->err), std::tuple(3, false, "a b", ""));
  EXPECT_FALSE(runProcess({"/nonexistent/tool"}));
  // Arguments reach the child as they are, never through a shell.
  EXPECT_EQ(runProcess({"/bin/echo", "$HOME;", "`id`"})->out, "$HOME; `id`\n");
  r = runProcess({"/bin/sh", "-c", "kill -TERM $$"});
  ASSERT_TRUE(r);
  EXPECT_EQ(std::pair(r->signal, r->ok()), std::pair(15, false));

  // 4 MiB on each pipe: far beyond a pipe's buffer, so a reader that waits first would hang.
  RunOptions opt;
  opt.captureStderr = true;
  r = runProcess({"/bin/sh", "-c", "head -c 4194304 /dev/zero; head -c 4194304 /dev/zero >&2"},
                 opt);
  ASSERT_TRUE(r);
  EXPECT_EQ(std::tuple(r->ok(), r->out.size(), r->err.size()),
            std::tuple(true, 4194304u, 4194304u));
  opt.maxOutput = 1000;
  r = runProcess({"/bin/sh", "-c", "head -c 100000 /dev/zero"}, opt);
  ASSERT_TRUE(r);
  EXPECT_EQ(std::pair(r->truncated, r->out.size()), std::pair(true, 1000ul));
}

TEST(Process, TimeOutKillsHangingChildAndItsHelpers) {
  TempDir t;
  std::string marker = t.path + "/survived";
  RunOptions opt;
  opt.timeout = milliseconds(500);
  for (const std::string& script : {
           // Blocks while holding the pipe open.
           "echo partial; sleep 30; touch " + marker,
           // Closes its output and goes on running.
           "exec >/dev/null; sleep 30; touch " + marker,
           // A helper in the background keeps the pipe after the shell has exited.
           "(sleep 2; touch " + marker + ") & echo started",
       }) {
    auto start = steady_clock::now();
    auto r = runProcess({"/bin/sh", "-c", script}, opt);
    auto took = steady_clock::now() - start;
    ASSERT_TRUE(r) << script;
    EXPECT_TRUE(r->timedOut) << script;
    EXPECT_FALSE(r->ok());
    EXPECT_LT(took, milliseconds(3000)) << script;
  }
  sh("sleep 2.5");
  EXPECT_FALSE(exists(marker)) << "a killed child's helper lived on";
}

}  // namespace
}  // namespace tolverdine
