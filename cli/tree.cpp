// tolverdine tree CARD [FILE]: a card's folder structure without names or contents, for
// writing a profile for an unknown camera.
#include <cstdio>
#include <string>

#include "cli/card_files.h"
#include "engine/base/files.h"
#include "engine/base/records.h"
#include "engine/base/version.h"
#include "engine/reports/anonymous_tree.h"

namespace tolverdine::cli {

int runTree(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "사용법: tolverdine tree <카드> [저장할 파일]\n");
    return 64;
  }
  const auto card = cardFolder(argv[1]);
  if (!card) return 1;
  std::string text = anonymousTreeHeader(toolVersion()) + "\n" + anonymousTree(*card, 5);
  if (argc == 2) {
    std::printf("%s\n", text.c_str());
    return 0;
  }
  try {
    writeFileAtomic(argv[2], text);
  } catch (const WriteFail&) {
    std::fprintf(stderr, "저장할 수 없음: %s\n", argv[2]);
    return 1;
  }
  return 0;
}

}  // namespace tolverdine::cli
