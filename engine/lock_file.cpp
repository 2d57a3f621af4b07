#include "engine/lock_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <limits>

#include <nlohmann/json.hpp>


#include "engine/files.h"
#include "engine/iso_date.h"

namespace tolverdine {

namespace {
bool sameHost(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

bool processAlive(pid_t pid) {
  // EPERM: the process exists but belongs to another user.
  return ::kill(pid, 0) == 0 || errno == EPERM;
}
}  // namespace

std::string lockContent(pid_t pid, const std::string& at, const std::string& host) {
  using nlohmann::json;
  std::string hostText = json(host).dump(-1, ' ', false, json::error_handler_t::replace);
  return "{\"pid\": " + std::to_string(pid) + ", \"at\": \"" + at +
         "\", \"by\": \"tolverdine-mac\", \"host\": " + hostText + "}";
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

bool lockHeld(const std::string& path, std::time_t now) {
  using nlohmann::json;
  std::string text;
  if (!readFile(path, &text)) return false;
  json j = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) return false;
  auto pidIt = j.find("pid");
  if (pidIt == j.end() || !pidIt->is_number_integer()) return false;
  // kill() reads 0 and negative ids as process groups, which always answer: not a lock holder.
  if (pidIt->is_number_unsigned() && pidIt->get<uint64_t>() > uint64_t{std::numeric_limits<int32_t>::max()})
    return false;
  int64_t pid = pidIt->get<int64_t>();
  if (pid <= 0 || pid > std::numeric_limits<int32_t>::max()) return false;

  // Files written before the host member existed are taken as this computer's.
  auto hostIt = j.find("host");
  bool foreign = hostIt != j.end() && hostIt->is_string() && !hostIt->get<std::string>().empty() &&
                 !sameHost(hostIt->get<std::string>(), thisHost());
  if (foreign) {
    // Another computer's process cannot be asked; its lock expires with age instead.
    std::time_t at = -1;
    if (auto atIt = j.find("at"); atIt != j.end() && atIt->is_string()) at = parseIsoUtc(atIt->get<std::string>());
    if (at < 0) {
      struct stat st;
      if (::stat(path.c_str(), &st) != 0) return false;
      at = st.st_mtime;
    }
    return now - at <= kForeignLockSeconds;
  }
  if (pid == ::getpid()) return false;
  return processAlive(static_cast<pid_t>(pid));
}

}  // namespace tolverdine
