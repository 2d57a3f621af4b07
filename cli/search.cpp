// tolverdine search TEXT [--json] [--limit N]: copies in the library whose path, class path or
// key contains the text, newest first.
#include <cstdio>
#include <string>

#include "cli/args.h"
#include "cli/library_json.h"
#include "cli/open_store.h"
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
  std::printf("%-24s %-8s %-10s %-6s %-20s %s\n", "이름", "카메라", "상태", "연결", "시각",
              "분류 경로 · 목적지");
  for (const auto& h : hits)
    std::printf("%-24s %-8s %-10s %-6s %-20s %s · %s\n", h.name().c_str(), h.cam().c_str(),
                copyStateText(h.state), h.online() ? "연결" : "없음", h.at.c_str(),
                h.classPath().c_str(), h.dest.c_str());
  std::printf("%zu건\n", hits.size());
  return 0;
}

}  // namespace tolverdine::cli
