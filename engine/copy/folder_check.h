// Whether every destination can be written and every card read: one line per folder with the text
// shown to the user and the application-log line of its result.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tolverdine {

struct PermCheck {
  std::string path;
  bool write = false;  // destinations: write test; cards: read test
  std::string state;
  bool ok = false;
  const std::string& id() const { return path; }
  bool operator==(const PermCheck&) const = default;
};

extern const char* const kPermPending;   // shown until the test answers
extern const char* const kPermNoAnswer;  // a test still pending after the wait

/// Destinations, then cascade destinations (write), then card mount paths (read); all pending.
std::vector<PermCheck> permissionList(const std::vector<std::string>& dests,
                                      const std::vector<std::string>& cascadeDests,
                                      const std::vector<std::string>& cards);
/// The state text of a test's errno (0 = success).
std::string permState(bool write, int err);
/// "권한 점검: " line of a finished test.
std::string permLogLine(const std::string& path, bool write, int err);
/// Records a result in the entries of the same path and test; a path no longer listed is ignored
/// (false then), so late results of an earlier round change nothing.
bool applyPermResult(std::vector<PermCheck>& checks, const std::string& path, bool write, int err);
/// Every entry still pending gets the no-answer text.
void markUnanswered(std::vector<PermCheck>& checks);

using FolderProbeFn = std::function<int(const std::string&)>;
/// Runs every test (in parallel, one thread per folder) and returns the finished list; logLine,
/// when given, receives each result's line in the order they arrive.
std::vector<PermCheck> runPermissionChecks(
    const std::vector<std::string>& dests, const std::vector<std::string>& cascadeDests,
    const std::vector<std::string>& cards,
    const std::function<void(const std::string&)>& logLine = {}, const FolderProbeFn& write = {},
    const FolderProbeFn& read = {});

}  // namespace tolverdine
