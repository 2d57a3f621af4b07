// tolverdine search TEXT [--json] [--limit N]: copies in the library whose path, class path or
// key contains the text, newest first.
#include <cstdio>
#include <string>

#include "cli/args.h"
#include "cli/library_json.h"
#include "cli/open_store.h"
#include "engine/base/term_text.h"
#include "engine/library/library.h"

namespace tolverdine::cli {

int runSearch(int argc, char** argv) {
  auto args = parseArgs(argc, argv, {"limit"}, {"json"});
  if (!args || args->positional.empty()) {
    std::fprintf(stderr, "사용법: tolverdine search <찾을 말> [--limit N] [--json]\n");
    return 64;
  }
  int limit = kHitLimit;
  if (auto l = args->last("limit")) {
    auto n = positiveInt(*l);
    if (!n) {
      std::fprintf(stderr, "오류 — --limit 는 양의 정수여야 합니다: %s\n", l->c_str());
      return 64;
    }
    limit = *n;
  }
  std::string text;
  for (const auto& w : args->positional) text += (text.empty() ? "" : " ") + w;
  text = trimSpace(text);
  auto store = openStore();
  if (!store) return 1;
  std::vector<Hit> hits = text.empty() ? std::vector<Hit>{} : librarySearch(*store, text, limit);
  if (args->has("json")) {
    nlohmann::ordered_json j = nlohmann::ordered_json::array();
    for (const auto& h : hits) j.push_back(hitJson(h));
    printJson(j);
    return 0;
  }
  // Columns are counted on the screen: a Hangul letter takes two.
  auto row = [](const std::string& name, const std::string& cam, const std::string& state,
                const std::string& online, const std::string& at, const std::string& rest) {
    std::printf("%s %s %s %s %s %s\n", padTo(name, 24).c_str(), padTo(cam, 8).c_str(),
                padTo(state, 10).c_str(), padTo(online, 6).c_str(), padTo(at, 20).c_str(),
                rest.c_str());
  };
  row("이름", "카메라", "상태", "연결", "시각", "분류 경로 · 목적지");
  for (const auto& h : hits)
    row(printableName(h.name()), printableName(h.cam()), copyStateText(h.state),
        h.online() ? "연결" : "없음", h.at, printableName(h.classPath() + " · " + h.dest));
  std::printf("%zu건\n", hits.size());
  return 0;
}

}  // namespace tolverdine::cli
