// Start at login: the packaged systemd user unit where the user's service manager runs
// (`systemctl --user enable|disable`), elsewhere an XDG autostart entry that starts `serve` with
// the running instance's options. The state shown is always read back from the system.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tolverdine {

struct LoginItemError {
  std::string path;
  int err = 0;         // errno of the failed step
  std::string detail;  // what the service manager said, when it refused
  std::string description() const;
  bool operator==(const LoginItemError&) const = default;
};

/// $XDG_CONFIG_HOME/autostart/tolverdine.desktop ($HOME/.config when the variable is unset,
/// empty or not absolute).
std::string loginItemPath();
/// An Exec= value that starts exactly argv: every argument quoted, with the desktop entry's
/// quoting and string escapes, "%" doubled.
std::string desktopExec(const std::vector<std::string>& argv);
/// The autostart entry's text for the command.
std::string loginItemEntry(const std::vector<std::string>& command);
/// Writes the entry (atomically, creating the folder) or removes it; an absent entry is already
/// off.
std::optional<LoginItemError> setAutostart(bool on, const std::vector<std::string>& command,
                                           const std::string& path);

struct LoginItemOptions {
  /// Program and `serve` options for the autostart entry; empty: this program and "serve".
  std::vector<std::string> command;
  /// Empty: loginItemPath() at the time of use.
  std::string autostartPath;
  std::string unit = "tolverdine.service";
  /// Empty: "systemctl" found on PATH.
  std::string systemctl;
};

class LoginItem {
 public:
  explicit LoginItem(LoginItemOptions o) : o_(std::move(o)) {}
  /// True when the user's service manager answers for the unit (it is installed and running).
  bool userService() const;
  /// What the system says now: the unit's enablement, or the autostart entry's presence.
  bool enabled() const;
  /// Enables or disables the unit, or writes or removes the autostart entry.
  std::optional<LoginItemError> set(bool on) const;
  /// 1 while enabled, 0 when not (the numbers of the log line).
  int status() const { return enabled() ? 1 : 0; }
  std::string autostartPath() const;

 private:
  std::optional<std::string> isEnabledAnswer() const;
  std::string systemctl() const;
  LoginItemOptions o_;
};

/// The note shown after a failure.
std::string loginItemFailureNote(const LoginItemError& e);
/// "로그인 항목 켬: 1 " style log line.
std::string loginItemLogLine(bool on, int status, const std::optional<std::string>& note);
/// The running program's own path (/proc/self/exe), empty when unknown.
std::string selfExecutable();
/// The first executable file called name in $PATH; empty when none.
std::string findOnPath(const std::string& name);

}  // namespace tolverdine
