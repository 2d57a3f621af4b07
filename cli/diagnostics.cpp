// tolverdine diagnostics [--replace] [FILE]: the support bundle, by default in the current folder
// under a name no earlier bundle holds.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/args.h"
#include "engine/base/files.h"
#include "engine/base/records.h"
#include "engine/reports/diagnostics.h"
#include "engine/store/store_open.h"
#include "os/home.h"
#include "platform/preferences_store.h"

namespace tolverdine::cli {

namespace {
// A second bundle on the same day gets "-2", "-3", … before ".zip" instead of failing.
std::string freeName(const std::string& name) {
  if (!exists(name)) return name;
  const std::string stem = name.size() > 4 ? name.substr(0, name.size() - 4) : name;
  for (int n = 2;; ++n) {
    std::string candidate = stem + "-" + std::to_string(n) + ".zip";
    if (!exists(candidate)) return candidate;
  }
}
}  // namespace

int runDiagnostics(int argc, char** argv) {
  auto args = parseArgs(argc, argv, {}, {"replace"});
  if (!args || args->positional.size() > 1) {
    std::fprintf(stderr, "사용법: tolverdine diagnostics [--replace] [zip 파일]\n");
    return 64;
  }
  const bool replace = args->has("replace");
  std::time_t now = std::time(nullptr);
  std::string to =
      args->positional.empty() ? freeName(diagnosticsFileName(now)) : args->positional[0];
  if (exists(to)) {
    if (!replace) {
      std::fprintf(stderr, "이미 있는 파일입니다: %s — 바꾸려면 --replace 를 붙이세요\n",
                   to.c_str());
      return 1;
    }
    // The bundle never overwrites; the user's confirmed replacement removes the old one first.
    if (::unlink(to.c_str()) != 0) {
      std::fprintf(stderr, "진단 정보 내보내기 실패: %s · %s\n", to.c_str(), std::strerror(errno));
      return 1;
    }
  }

  // Looking must not create: a missing database stays missing, and is reported as such.
  // One that cannot be opened is named so in the bundle's summary.
  OpenedStore opened = openStoreAt(Store::defaultPath(), IfMissing::leave);
  if (!opened.error.empty())
    std::fprintf(stderr, "DB를 읽지 못해 진단 정보에서 뺍니다: %s\n", opened.error.c_str());
  std::unique_ptr<Store> store = std::move(opened.store);
  // Read directly: the preferences store would move an unreadable file aside.
  nlohmann::json settings = nlohmann::json::object();
  std::string text;
  if (readFile(applicationSupportDir() + "/settings.json", &text)) {
    auto j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (j.is_object()) settings = std::move(j);
  }

  std::printf("진단 정보 내보내기: %s\n", to.c_str());
  try {
    writeDiagnostics(to, applicationLogsDir() + "/app.log", store.get(), settings,
                     homeDir() + "/Library/Logs/DiagnosticReports", now);
  } catch (const WriteFail& f) {
    std::fprintf(stderr, "진단 정보 내보내기 실패: %s · %s\n", f.path.c_str(),
                 std::strerror(f.err));
    return 1;
  }
  std::printf("%s\n", to.c_str());
  return 0;
}

}  // namespace tolverdine::cli
