// Start at login through an XDG autostart entry: the file exists while the login item is on.
#pragma once

#include <optional>
#include <string>

namespace tolverdine {

struct LoginItemError {
  std::string path;
  int err = 0;  // errno of the failed step
  std::string description() const;
  bool operator==(const LoginItemError&) const = default;
};

/// $XDG_CONFIG_HOME/autostart/org.tolverdine.desktop ($HOME/.config when the variable is unset,
/// empty or not absolute).
std::string loginItemPath();
/// The entry's text for the program at exec.
std::string loginItemEntry(const std::string& exec);
/// Writes the entry (atomically, creating the folder) or removes it; an absent entry is already off.
std::optional<LoginItemError> setLoginItem(bool on, const std::string& exec, const std::string& path = loginItemPath());
bool isLoginItem(const std::string& path = loginItemPath());
/// 1 while registered, 0 when not (the service status numbers of the log line).
int loginItemStatus(const std::string& path = loginItemPath());
/// The note shown after a failure.
std::string loginItemFailureNote(const LoginItemError& e);
/// "로그인 항목 켬: 1 " style log line.
std::string loginItemLogLine(bool on, int status, const std::optional<std::string>& note);
/// The running program's own path (/proc/self/exe), empty when unknown.
std::string selfExecutable();

}  // namespace tolverdine
