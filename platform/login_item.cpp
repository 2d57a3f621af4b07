#include "platform/login_item.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/base/files.h"
#include "engine/base/records.h"
#include "engine/base/text.h"
#include "engine/library/library.h"
#include "os/home.h"
#include "os/process.h"

namespace tolverdine {

std::string LoginItemError::description() const {
  if (!detail.empty()) return path + ": " + detail;
  char buf[256];
  const char* s = strerror_r(err, buf, sizeof buf);
  return path + ": " + s;
}

std::string loginItemPath() {
  const char* x = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (x && x[0] == '/') {
    base = x;
  } else {
    base = homeDir() + "/.config";
  }
  return base + "/autostart/tolverdine.desktop";
}

std::string desktopExec(const std::vector<std::string>& argv) {
  std::string out;
  for (const auto& a : argv) {
    if (!out.empty()) out += ' ';
    // Quoting level: inside double quotes ", `, $ and \ take a backslash.
    std::string q = "\"";
    for (char c : a) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') q += '\\';
      q += c == '%' ? std::string("%%") : std::string(1, c);
    }
    q += '"';
    // String level, applied by the reader first: every backslash is written twice.
    for (char c : q) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
  }
  return out;
}

std::string loginItemEntry(const std::vector<std::string>& command) {
  return "[Desktop Entry]\nType=Application\nName=TOLVERDINE\nComment=카드 복사·검증 (로그인할 때 시작)\nExec=" +
         desktopExec(command) +
         "\nTerminal=false\nNoDisplay=true\nX-GNOME-Autostart-enabled=true\n";
}

std::optional<LoginItemError> setAutostart(bool on, const std::vector<std::string>& command,
                                           const std::string& path) {
  if (!on) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return LoginItemError{path, errno, {}};
    return std::nullopt;
  }
  // A line break would end the Exec line and let the rest become entry keys.
  if (command.empty() || command[0].empty()) return LoginItemError{path, EINVAL, {}};
  for (const auto& a : command)
    if (a.find_first_of("\n\r") != std::string::npos || !validUtf8(a))
      return LoginItemError{a, EINVAL, {}};
  const std::string dir = parentPath(path);
  if (!mkdirs(dir)) return LoginItemError{dir, errno ? errno : EIO, {}};
  try {
    writeFileAtomic(path, loginItemEntry(command));
  } catch (const WriteFail& f) {
    return LoginItemError{f.path, f.err, {}};
  }
  return std::nullopt;
}

std::string findOnPath(const std::string& name) {
  const char* p = std::getenv("PATH");
  std::string path = p ? p : "/usr/bin:/bin";
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find(':', pos);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(pos, end - pos);
    pos = end + 1;
    if (dir.empty() || dir[0] != '/') continue;
    std::string full = dir + "/" + name;
    if (::access(full.c_str(), X_OK) == 0) return full;
  }
  return {};
}

std::string LoginItem::systemctl() const {
  return o_.systemctl.empty() ? findOnPath("systemctl") : o_.systemctl;
}

std::string LoginItem::autostartPath() const {
  return o_.autostartPath.empty() ? loginItemPath() : o_.autostartPath;
}

std::optional<std::string> LoginItem::isEnabledAnswer() const {
  std::string sc = systemctl();
  if (sc.empty()) return std::nullopt;
  RunOptions ro;
  ro.timeout = std::chrono::milliseconds(5000);
  auto r = runProcess({sc, "--user", "is-enabled", o_.unit}, ro);
  if (!r || r->timedOut) return std::nullopt;
  std::string word = r->out.substr(0, r->out.find('\n'));
  // Without a user manager (no session bus) or without the installed unit there is no state word.
  static const char* const kStates[] = {
      "enabled",        "enabled-runtime", "linked",   "linked-runtime", "alias",     "masked",
      "masked-runtime", "static",          "indirect", "disabled",       "generated", "transient"};
  for (const char* s : kStates)
    if (word == s) return word;
  return std::nullopt;
}

bool LoginItem::userService() const { return isEnabledAnswer().has_value(); }

bool LoginItem::enabled() const {
  if (auto state = isEnabledAnswer()) return *state == "enabled" || *state == "enabled-runtime";
  return exists(autostartPath());
}

std::optional<LoginItemError> LoginItem::set(bool on) const {
  // Earlier versions wrote this entry with the program path alone, which exits with a usage
  // error at every login.
  ::unlink((parentPath(autostartPath()) + "/org.tolverdine.desktop").c_str());
  if (userService()) {
    RunOptions ro;
    ro.timeout = std::chrono::milliseconds(15000);
    ro.captureStderr = true;
    auto r = runProcess({systemctl(), "--user", on ? "enable" : "disable", o_.unit}, ro);
    if (!r || !r->ok()) {
      std::string why = r ? trimSpace(r->err) : std::string();
      return LoginItemError{
          "systemctl --user " + std::string(on ? "enable " : "disable ") + o_.unit, r ? 0 : ENOENT,
          why.empty() ? (r ? "종료 코드 " + std::to_string(r->status) : std::string()) : why};
    }
    // An entry left from before the package was installed would start a second copy at login.
    setAutostart(false, {}, autostartPath());
    return std::nullopt;
  }
  std::vector<std::string> command = o_.command;
  if (command.empty()) command = {selfExecutable(), "serve"};
  return setAutostart(on, command, autostartPath());
}

std::string loginItemFailureNote(const LoginItemError& e) {
  return "이 빌드에서는 켤 수 없습니다 (" + e.description() +
         "). 데스크톱의 시작 프로그램 설정에 'tolverdine serve' 를 직접 추가하세요.";
}

std::string loginItemLogLine(bool on, int status, const std::optional<std::string>& note) {
  return std::string("로그인 항목 ") + (on ? "켬" : "끔") + ": " + std::to_string(status) + " " +
         note.value_or("");
}

std::string selfExecutable() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace tolverdine
