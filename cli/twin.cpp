// tolverdine twin CARD [--copies N]: the backup card of a dual-slot camera, compared by hash with
// the verified copies of its twin. Exit 0 when this card may be formatted too.
#include <cstdio>
#include <string>

#include "app/settings.h"
#include "cli/args.h"
#include "cli/card_files.h"
#include "cli/open_store.h"
#include "cli/status_text.h"
#include "engine/card/twin.h"
#include "engine/store/card_status.h"
#include "platform/volume_uuid.h"

namespace tolverdine::cli {

int runTwin(int argc, char** argv) {
  auto args = parseArgs(argc, argv, {"copies"}, {});
  std::optional<int> copies = Settings().copies;  // the application's default
  if (args && args->last("copies")) copies = positiveInt(*args->last("copies"));
  if (!args || args->positional.size() != 1 || !copies) {
    std::fprintf(stderr, "사용법: tolverdine twin <카드> [--copies N]\n");
    return 64;
  }
  const auto card = cardFolder(args->positional[0]);
  if (!card) return 2;
  const std::string& root = *card;
  CardList list = cardList(root);
  if (!list.errors.empty()) {
    std::printf("카드를 모두 읽지 못했습니다 — 포맷하지 마세요\n");
    return 2;
  }
  const std::vector<CardFile>& files = list.files;
  std::unique_ptr<Store> store = openStore();
  if (!store) return 2;
  std::optional<std::string> volume = volumeUUID(root);
  CardStatus st = cardStatus(files, *store, *copies, volume);
  const auto* t = std::get_if<CardStatus::Twin>(&st.value);
  if (!t) {
    std::printf("듀얼 슬롯 백업 카드가 아닙니다: %s\n", statusSentence(st).c_str());
    return 2;
  }
  TwinCheck c = verifyTwin(root, files, t->cam, *store, *copies);
  if (!c.contentOk()) {
    std::printf("두 슬롯이 다릅니다: 다름 %zu · 못 읽음 %zu — 포맷하지 마세요\n", c.differ.size(),
                c.unread.size());
    for (const auto& p : c.differ) std::printf("  다름: %s\n", p.c_str());
    for (const auto& p : c.unread) std::printf("  못 읽음: %s\n", p.c_str());
    return 2;
  }
  if (!c.ok()) {
    std::printf("두 슬롯 내용 동일 (%d개) — 그러나 검증 사본 %d곳 미달 %zu개, 포맷하지 마세요\n",
                c.same, *copies, c.underCopied.size());
    return 1;
  }
  store->recordCard(cardFingerprint(files), t->cam, files, volume);
  std::printf("두 슬롯 내용 동일 (%d개) — 이 카드도 포맷해도 됩니다\n", c.same);
  return 0;
}

}  // namespace tolverdine::cli
