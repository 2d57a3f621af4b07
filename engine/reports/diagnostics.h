// One zip archive that tells support what state the tool is in: log, database summary, settings
// with secrets masked, recent report files, the computer and its volumes, crash reports.
#pragma once

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tolverdine {

class Store;

/// The programs and files that describe the computer; tests point them elsewhere.
struct SystemSources {
  std::string uname = "/usr/bin/uname";
  std::string osRelease = "/etc/os-release";
  std::string model = "/sys/class/dmi/id/product_name";
  /// The first of these that can be run lists the mounts.
  std::vector<std::string> mounts = {"/usr/bin/findmnt", "/bin/findmnt", "/bin/mount"};
  std::string df = "/bin/df";
  /// A command that hangs (df on a dead network mount) is killed after this long.
  std::chrono::milliseconds timeout{15000};
};

/// Runs program with args (no shell, standard input empty) and returns its standard output then
/// its standard error as UTF-8 (invalid bytes replaced). Cannot start: "(" + program + " 실행
/// 실패)\n"; killed at the time-out: what it wrote, then "(" + program + " 시간 초과)\n".
std::string shell(const std::string& program, const std::vector<std::string>& args,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(15000));

/// "webhook" masked to "https://" + host + "/…(가림)", or "(가림)" when it is no URL with a host.
std::string maskWebhook(const std::string& url);

/// settings.txt: "key = value" per key in ascending order, a line feed at the end.
std::string settingsText(const nlohmann::json& settings);

/// reports.txt: the 100 newest entries of "_리포트" and "_REPORTS" directly under every root.
std::string reportsText(const std::vector<std::string>& roots);

/// system.txt: product and version, operating system, machine, "## mount (볼륨 · 파일시스템)",
/// "## df -h".
std::string systemText(const SystemSources& sources = {});

/// Writes the archive to `to`, holding one folder "TOLVERDINE-diagnostics-" + now as local
/// "yyyyMMdd-HHmmss" with app.log, db-summary.txt, settings.txt, reports.txt, system.txt and,
/// when crashDir holds files named "Tolverdine…", crashes/. store may be null (the database
/// could not be opened). The archive is built beside `to` under a temporary name and renamed
/// into place complete; an existing `to` is never replaced (EEXIST). Nothing is left behind on
/// failure. Returns `to`; throws WriteFail with the path of `to`.
std::string writeDiagnostics(const std::string& to, const std::string& appLog, Store* store,
                             const nlohmann::json& settings, const std::string& crashDir,
                             std::time_t now, const SystemSources& sources = {});

/// "TOLVERDINE-diagnostics-" + now as local "yyyyMMdd" + ".zip": the name offered for saving.
std::string diagnosticsFileName(std::time_t now);

}  // namespace tolverdine
