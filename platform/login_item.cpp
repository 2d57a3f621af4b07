#include "platform/login_item.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/files.h"
#include "engine/records.h"
#include "engine/text.h"

namespace tolverdine {

std::string LoginItemError::description() const {
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
    const char* h = std::getenv("HOME");
    base = std::string(h ? h : "") + "/.config";
  }
  return base + "/autostart/org.tolverdine.desktop";
}

namespace {
// Exec= quoting of desktop entries: the whole path in double quotes with ", `, $ and \ escaped.
std::string quoteExec(const std::string& exec) {
  std::string q = "\"";
  for (char c : exec) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') q += '\\';
    q += c;
  }
  return q + "\"";
}
}  // namespace

std::string loginItemEntry(const std::string& exec) {
  return "[Desktop Entry]\nType=Application\nName=TOLVERDINE\nExec=" + quoteExec(exec) +
         "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
}

std::optional<LoginItemError> setLoginItem(bool on, const std::string& exec, const std::string& path) {
  if (!on) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return LoginItemError{path, errno};
    return std::nullopt;
  }
  // A line break would end the Exec line and let the rest of the path become entry keys.
  if (exec.empty() || exec.find_first_of("\n\r") != std::string::npos || !validUtf8(exec))
    return LoginItemError{exec, EINVAL};
  const std::string dir = parentPath(path);
  if (!mkdirs(dir)) return LoginItemError{dir, errno ? errno : EIO};
  try {
    writeFileAtomic(path, loginItemEntry(exec));
  } catch (const WriteFail& f) {
    return LoginItemError{f.path, f.err};
  } catch (...) {
    return LoginItemError{path, EIO};
  }
  return std::nullopt;
}

bool isLoginItem(const std::string& path) { return exists(path); }

int loginItemStatus(const std::string& path) { return isLoginItem(path) ? 1 : 0; }

std::string loginItemFailureNote(const LoginItemError& e) {
  return "이 빌드에서는 켤 수 없습니다 (" + e.description() + "). 시스템 설정 › 일반 › 로그인 항목에 직접 추가하세요.";
}

std::string loginItemLogLine(bool on, int status, const std::optional<std::string>& note) {
  return std::string("로그인 항목 ") + (on ? "켬" : "끔") + ": " + std::to_string(status) + " " + note.value_or("");
}

std::string selfExecutable() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace tolverdine
