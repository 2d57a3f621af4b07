// tolverdine status CARD [--copies N]: the card's fingerprint, what the database knows of it and
// which files still lack copies. Exit 0 only when the card may be formatted.
#include <cstdio>
#include <string>

#include "app/settings.h"
#include "cli/args.h"
#include "cli/card_files.h"
#include "cli/open_store.h"
#include "cli/status_text.h"
#include "engine/store/card_status.h"
#include "platform/volume_uuid.h"

namespace tolverdine::cli {

int runStatus(int argc, char** argv) {
  auto args = parseArgs(argc, argv, {"copies"}, {});
  std::optional<int> copies = Settings().copies;  // the application's default
  if (args && args->last("copies")) copies = positiveInt(*args->last("copies"));
  if (!args || args->positional.size() != 1 || !copies) {
    std::fprintf(stderr, "사용법: tolverdine status <카드> [--copies N]\n");
    return 64;
  }
  const auto card = cardFolder(args->positional[0]);
  if (!card) return 1;
  const std::string& root = *card;
  CardList list = cardList(root);
  const std::vector<CardFile>& files = list.files;
  std::unique_ptr<Store> store = openStore();
  if (!store) return 2;
  const std::optional<std::string> drive = cardDrive(root, store->drives());
  CardStatus st = cardStatus(files, *store, *copies, volumeUUID(root), drive);
  std::printf("지문: %s\n상태: %s\n", cardFingerprint(files).c_str(), statusSentence(st).c_str());
  if (std::string note = discountNote(st); !note.empty()) std::printf("%s\n", note.c_str());
  if (const auto* k = std::get_if<CardStatus::Known>(&st.value))
    std::printf("검증 사본이 있는 드라이브: %d개\n", k->drives);
  if (!list.errors.empty()) {
    // What could not be listed may hold files that were never copied.
    std::printf("카드를 모두 읽지 못했습니다 — 포맷하지 마세요\n");
    return 1;
  }
  if (st.alreadyBackedUp()) {
    const auto& k = std::get<CardStatus::Known>(st.value);
    std::printf("이미 백업됨 — %s, 파일 %d개 모두 검증 사본 %d곳 이상\n", k.cam.c_str(), k.files,
                *copies);
    return 0;
  }
  if (const auto* t = std::get_if<CardStatus::Twin>(&st.value)) {
    std::printf(
        "듀얼 슬롯 백업 카드로 보입니다 (%s, %d개). '슬롯 대조'는 쓰지 않고 해시만 비교합니다.\n",
        t->cam.c_str(), t->files);
    return 1;
  }
  if (const auto* k = std::get_if<CardStatus::Known>(&st.value)) {
    std::printf("사본 부족 %d개 · 사본 없음 %d개 (파일 %d개)\n", k->under, k->added, k->files);
    for (const auto& f : files) {
      int n = store->verifiedCount(ingestKey(k->cam, f), drive);
      if (n < *copies) std::printf("  검증 사본 %d곳: %s\n", n, f.rel.c_str());
    }
    return 1;
  }
  std::printf("처음 보는 카드: 파일 %zu개\n", files.size());
  return 1;
}

}  // namespace tolverdine::cli
