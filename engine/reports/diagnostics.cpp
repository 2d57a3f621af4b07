#include "engine/reports/diagnostics.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "engine/base/files.h"
#include "engine/base/names.h"
#include "engine/base/records.h"
#include "engine/base/text.h"
#include "engine/base/utf8_repair.h"
#include "engine/base/version.h"
#include "engine/base/zip_writer.h"
#include "engine/store/store.h"
#include "os/fs.h"
#include "os/process.h"

namespace tolverdine {

namespace {

const std::string kProduct = std::string("TOLVERDINE ") + toolVersion();
constexpr const char* kCrashPrefix = "Tolverdine";
constexpr size_t kMaxReports = 100;
// A crash report is a few hundred kilobytes; anything far larger is not one.
constexpr off_t kMaxCrashBytes = 16 << 20;

std::vector<std::string> listNames(const std::string& dir) {
  std::vector<std::string> out;
  std::vector<DirEntry> entries;
  // Best effort: a folder that cannot be read lists whatever it gave before failing, if anything.
  (void)realFs().list(dir, &entries);
  for (auto& e : entries) out.push_back(std::move(e.name));
  std::sort(out.begin(), out.end());
  return out;
}

std::string fileText(const std::string& path) {
  std::string s;
  if (!readFile(path, &s)) return "(" + path + " 읽기 실패)\n";
  return repairUtf8(s);
}

bool isSchemeChar(char c, bool first) {
  bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  return first ? alpha : alpha || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

bool isHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("-._~%!$&'()*+,;=").find(c) != std::string_view::npos;
}

// The host of scheme://[user@]host[:port][/…], absent when url is not of that form.
std::optional<std::string> urlHost(const std::string& url) {
  size_t colon = url.find("://");
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  for (size_t i = 0; i < colon; ++i)
    if (!isSchemeChar(url[i], i == 0)) return std::nullopt;
  size_t start = colon + 3;
  size_t end = url.find_first_of("/?#", start);
  std::string authority =
      url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (auto at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
  std::string host;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    authority.erase(0, close + 1);
    if (!authority.empty() && authority[0] != ':') return std::nullopt;
  } else {
    size_t port = authority.find(':');
    host = authority.substr(0, port);
    authority.erase(0, port == std::string::npos ? authority.size() : port);
    if (host.empty() || !std::all_of(host.begin(), host.end(), isHostChar)) return std::nullopt;
  }
  if (!authority.empty() && !std::all_of(authority.begin() + 1, authority.end(),
                                         [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  if (host.empty()) return std::nullopt;
  return host;
}

std::string plain(const nlohmann::json& v) {
  if (v.is_string()) return v.get<std::string>();
  return v.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

struct Found {
  std::optional<int64_t> ns;  // modification time; absent: counts as the distant past
  std::string path;
};

}  // namespace

std::string shell(const std::string& program, const std::vector<std::string>& args,
                  std::chrono::milliseconds timeout) {
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions o;
  o.timeout = timeout;
  o.captureStderr = true;
  o.maxOutput = 4u << 20;
  auto r = runProcess(argv, o);
  if (!r) return "(" + program + " 실행 실패)\n";
  std::string out = repairUtf8(r->out + r->err);
  if (r->truncated) out += "(" + program + " 출력이 너무 길어 잘림)\n";
  if (r->timedOut) out += "(" + program + " 시간 초과)\n";
  return out;
}

std::string maskWebhook(const std::string& url) {
  auto host = urlHost(url);
  return host ? "https://" + *host + "/…(가림)" : "(가림)";
}

std::string settingsText(const nlohmann::json& settings) {
  std::string out;
  if (settings.is_object()) {
    bool first = true;
    for (auto it = settings.begin(); it != settings.end(); ++it) {  // keys in ascending order
      std::string value = plain(it.value());
      if (it.key() == "webhook") {
        if (it->is_string() && !value.empty()) value = maskWebhook(value);
        // Whatever else sits under the key is a secret too; only "nothing" is shown as it is.
        else if (!it->is_string() && !it->is_null()) value = "(가림)";
      }
      if (!first) out += "\n";
      first = false;
      out += it.key() + " = " + value;
    }
  }
  return out + "\n";
}

std::string reportsText(const std::vector<std::string>& roots) {
  std::vector<Found> found;
  for (const auto& root : roots) {
    for (const std::string& folder : {NameSet::ko().reports, NameSet::en().reports}) {
      std::string dir = root + "/" + folder;
      for (const auto& name : listNames(dir)) {
        Found f{std::nullopt, dir + "/" + name};
        struct stat st;
        if (realFs().lstat(f.path, &st) == 0)
          f.ns = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
        found.push_back(std::move(f));
      }
    }
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    int64_t ta = a.ns.value_or(INT64_MIN), tb = b.ns.value_or(INT64_MIN);
    return ta != tb ? ta > tb : a.path < b.path;
  });
  if (found.size() > kMaxReports) found.resize(kMaxReports);
  std::string out;
  for (size_t i = 0; i < found.size(); ++i) {
    if (i) out += "\n";
    const Found& f = found[i];
    std::string when = "0001-01-01T00:00:00Z";
    if (f.ns) {
      int64_t s = *f.ns / 1000000000 - (*f.ns % 1000000000 < 0 ? 1 : 0);
      when = isoTime(static_cast<std::time_t>(s));
    }
    out += when + "  " + repairUtf8(f.path);
  }
  return out + "\n";
}

std::string systemText(const SystemSources& src) {
  std::string mount = src.mounts.empty() ? "/bin/mount" : src.mounts.front();
  for (const auto& m : src.mounts)
    if (realFs().access(m, X_OK) == 0) {
      mount = m;
      break;
    }
  std::vector<std::string> lines = {
      kProduct,
      shell(src.uname, {"-a"}, src.timeout),
      fileText(src.osRelease),
      "hw.model: " + fileText(src.model),
      "hw.machine: " + shell(src.uname, {"-m"}, src.timeout),
      "## mount (볼륨 · 파일시스템)",
      shell(mount, {}, src.timeout),
      "## df -h",
      shell(src.df, {"-h"}, src.timeout),
  };
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) out += (i ? "\n" : "") + lines[i];
  return out;
}

std::string writeDiagnostics(const std::string& to, const std::string& appLog, Store* store,
                             const nlohmann::json& settings, const std::string& crashDir,
                             std::time_t now, const SystemSources& sources) {
  // Refused before the slow part; the final rename checks again.
  if (exists(to)) throw WriteFail{to, EEXIST};
  ZipWriter zip(to);
  const std::string folder = "TOLVERDINE-diagnostics-" + localTime(now, "%Y%m%d-%H%M%S") + "/";
  zip.addFolder(folder, now);

  std::string log;
  // A log torn by a crash keeps its readable lines rather than vanishing from the bundle.
  log = readFile(appLog, &log) ? repairUtf8(log) : "(app.log 없음: " + appLog + ")\n";
  zip.addFile(folder + "app.log", std::move(log), now);
  zip.addFile(folder + "db-summary.txt", store ? store->summary() : "(상태 DB 를 열지 못함)\n",
              now);
  zip.addFile(folder + "settings.txt", settingsText(settings), now);
  zip.addFile(folder + "reports.txt",
              reportsText(store ? store->verifiedRoots() : std::vector<std::string>{}), now);
  zip.addFile(folder + "system.txt", systemText(sources), now);

  bool crashes = false;
  for (const auto& name : listNames(crashDir)) {
    if (name.rfind(kCrashPrefix, 0) != 0) continue;
    std::string path = crashDir + "/" + name, data;
    struct stat st;
    // Only plain files: a link or a device in the folder is not a crash report.
    if (realFs().lstat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxCrashBytes)
      continue;
    if (!readFile(path, &data)) continue;
    if (!crashes) zip.addFolder(folder + "crashes/", now);
    crashes = true;
    try {
      zip.addFile(folder + "crashes/" + repairUtf8(name), std::move(data), st.st_mtime);
    } catch (const WriteFail&) {
      // Two names that read alike once repaired: the second report is skipped, not the bundle.
    }
  }
  zip.commit();
  return to;
}

std::string diagnosticsFileName(std::time_t now) {
  return "TOLVERDINE-diagnostics-" + localTime(now, "%Y%m%d") + ".zip";
}

}  // namespace tolverdine
