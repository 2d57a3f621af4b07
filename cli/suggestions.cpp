// tolverdine suggestions [--json]: rules learnt from moving clips by hand.
#include <cstdio>

#include "cli/args.h"
#include "cli/library_json.h"
#include "cli/open_store.h"
#include "engine/library/library.h"

namespace tolverdine::cli {

int runSuggestions(int argc, char** argv) {
  auto args = parseArgs(argc, argv, {}, {"json"});
  if (!args || !args->positional.empty()) {
    std::fprintf(stderr, "사용법: tolverdine suggestions [--json]\n");
    return 64;
  }
  auto store = openStore();
  if (!store) return 1;
  auto list = store->suggestions(kSuggestThreshold);
  if (args->has("json")) {
    nlohmann::ordered_json j = nlohmann::ordered_json::array();
    for (const auto& s : list) j.push_back(suggestionJson(s));
    printJson(j);
    return 0;
  }
  std::printf("%s\n", kSuggestionHeading);
  for (const auto& s : list) std::printf("  %s\n", suggestionText(s).c_str());
  if (list.empty()) std::printf("  (없음)\n");
  return 0;
}

}  // namespace tolverdine::cli
