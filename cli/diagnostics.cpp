// tolverdine diagnostics [FILE]: the support bundle, by default in the current folder.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/diagnostics.h"
#include "engine/files.h"
#include "engine/records.h"
#include "engine/store.h"
#include "platform/preferences_store.h"

namespace tolverdine::cli {

namespace {
std::string home() {
  const char* h = std::getenv("HOME");
  return h ? h : "";
}
}  // namespace

int runDiagnostics(int argc, char** argv) {
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    std::fprintf(stderr, "사용법: tolverdine diagnostics [zip 파일]\n");
    return 64;
  }
  std::time_t now = std::time(nullptr);
  std::string to = argc == 2 ? argv[1] : diagnosticsFileName(now);

  // Looking must not create: a missing database stays missing, and is reported as such.
  std::unique_ptr<Store> store;
  if (exists(Store::defaultPath())) {
    try {
      store = std::make_unique<Store>(Store::defaultPath());
    } catch (...) {
    }
  }
  // Read directly: the preferences store would move an unreadable file aside.
  nlohmann::json settings = nlohmann::json::object();
  std::string text;
  if (readFile(applicationSupportDir() + "/settings.json", &text)) {
    auto j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (j.is_object()) settings = std::move(j);
  }

  std::printf("진단 정보 내보내기: %s\n", to.c_str());
  try {
    writeDiagnostics(to, home() + "/Library/Logs/TOLVERDINE/app.log", store.get(), settings,
                     home() + "/Library/Logs/DiagnosticReports", now);
  } catch (const WriteFail& f) {
    std::fprintf(stderr, "진단 정보 내보내기 실패: %s · %s\n", f.path.c_str(), std::strerror(f.err));
    return 1;
  }
  std::printf("%s\n", to.c_str());
  return 0;
}

}  // namespace tolverdine::cli
