#include "engine/base/lock_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <limits>

#include <nlohmann/json.hpp>

#include "engine/base/ascii.h"
#include "engine/base/files.h"
#include "engine/base/iso_date.h"
#include "os/fs.h"

namespace tolverdine {

namespace {

bool processAlive(pid_t pid) {
  // EPERM: the process exists but belongs to another user.
  return ::kill(pid, 0) == 0 || errno == EPERM;
}
}  // namespace

std::string lockContent(pid_t pid, const std::string& at, const std::string& host) {
  using nlohmann::json;
  auto quoted = [](const std::string& s) {
    return json(s).dump(-1, ' ', false, json::error_handler_t::replace);
  };
  return "{\"pid\": " + std::to_string(pid) + ", \"at\": " + quoted(at) +
         ", \"by\": \"tolverdine-mac\", \"host\": " + quoted(host) + "}";
}

std::string thisHost() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "";
  return buf;
}

std::time_t parseIsoUtc(const std::string& s) {
  auto t = parseInternetDateAny(s);
  return t ? static_cast<std::time_t>(*t) : -1;
}

std::optional<LockRecord> parseLock(std::string_view text) {
  using nlohmann::json;
  json j = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) return std::nullopt;
  auto pidIt = j.find("pid");
  if (pidIt == j.end() || !pidIt->is_number_integer()) return std::nullopt;
  // kill() reads 0 and negative ids as process groups, which always answer: not a lock holder.
  if (pidIt->is_number_unsigned() &&
      pidIt->get<uint64_t>() > uint64_t{std::numeric_limits<int32_t>::max()})
    return std::nullopt;
  int64_t pid = pidIt->get<int64_t>();
  if (pid <= 0 || pid > std::numeric_limits<int32_t>::max()) return std::nullopt;
  LockRecord r;
  r.pid = static_cast<int32_t>(pid);
  if (auto it = j.find("at"); it != j.end() && it->is_string()) r.at = it->get<std::string>();
  if (auto it = j.find("host"); it != j.end() && it->is_string()) r.host = it->get<std::string>();
  return r;
}

bool lockHeld(const std::string& path, std::time_t now) {
  std::string text;
  if (!readFile(path, &text)) return false;
  auto lock = parseLock(text);
  if (!lock) return false;
  // Files written before the host member existed are taken as this computer's.
  if (!lock->host.empty() && !sameIgnoringAsciiCase(lock->host, thisHost())) {
    // Another computer's process cannot be asked; its lock expires with age instead.
    std::time_t at = parseIsoUtc(lock->at);
    if (at < 0) {
      struct stat st;
      if (realFs().stat(path, &st) != 0) return false;
      at = st.st_mtime;
    }
    // A time far ahead (a wrong clock, a damaged file) would otherwise hold the camera for good.
    return now - at <= kForeignLockSeconds && at - now <= kForeignLockSeconds;
  }
  if (lock->pid == ::getpid()) return false;
  return processAlive(static_cast<pid_t>(lock->pid));
}

}  // namespace tolverdine
