// tolverdine stats CARD: how long the card's clips are, as a table, to help choose rule bounds.
#include <cstdio>
#include <string>

#include "cli/card_files.h"
#include "engine/media/length_stats.h"
#include "engine/media/probe.h"

namespace tolverdine::cli {

int runStats(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "사용법: tolverdine stats <카드>\n");
    return 64;
  }
  const auto card = cardFolder(argv[1]);
  if (!card) return 1;
  const std::string& root = *card;
  std::vector<std::string> paths;
  for (const auto& f : cardFiles(root)) paths.push_back(root + "/" + f.rel);
  LengthStats s = lengthStats(paths, [](const std::string& p) { return probe(p); });
  std::printf("%-12s %6s\n", "길이", "클립");
  for (const auto& [label, count] : s.buckets) std::printf("%-12s %6d\n", label.c_str(), count);
  std::printf("클립 %d개 · 중앙값 %.1f초 · 90%% %.1f초\n", s.count, s.median, s.p90);
  return 0;
}

}  // namespace tolverdine::cli
