// tolverdine history [--json] [--limit N]: the most recently seen cards.
#include <cstdio>

#include "cli/args.h"
#include "cli/library_json.h"
#include "cli/open_store.h"
#include "engine/base/term_text.h"
#include "engine/library/library.h"

namespace tolverdine::cli {

int runHistory(int argc, char** argv) {
  auto args = parseArgs(argc, argv, {"limit"}, {"json"});
  if (!args || !args->positional.empty()) {
    std::fprintf(stderr, "사용법: tolverdine history [--limit N] [--json]\n");
    return 64;
  }
  int limit = kHistoryLimit;
  if (auto l = args->last("limit")) {
    auto n = positiveInt(*l);
    if (!n) {
      std::fprintf(stderr, "오류 — --limit 는 양의 정수여야 합니다: %s\n", l->c_str());
      return 64;
    }
    limit = *n;
  }
  auto store = openStore();
  if (!store) return 1;
  auto cards = store->cardHistory(limit);
  if (args->has("json")) {
    nlohmann::ordered_json j = nlohmann::ordered_json::array();
    for (const auto& c : cards) j.push_back(cardJson(c));
    printJson(j);
    return 0;
  }
  // Columns are counted on the screen: a Hangul letter takes two.
  std::printf("%s %s   파일         바이트 %s 지문\n", padTo("마지막", 20).c_str(),
              padTo("카메라", 10).c_str(), padTo("처음", 20).c_str());
  for (const auto& c : cards)
    std::printf("%s %s %6d %14lld %s %s\n", padTo(c.lastSeen, 20).c_str(),
                padTo(printableName(c.cam), 10).c_str(), c.files, static_cast<long long>(c.bytes),
                padTo(c.firstSeen, 20).c_str(), c.fingerprint.c_str());
  std::printf("카드 %zu장\n", cards.size());
  return 0;
}

}  // namespace tolverdine::cli
