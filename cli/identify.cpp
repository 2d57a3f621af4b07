// tolverdine identify CARD: which camera wrote a card, and the label it is shown with.
#include <cstdio>
#include <optional>
#include <string>

#include "cli/card_files.h"
#include "engine/base/files.h"
#include "engine/card/camera_labels.h"
#include "engine/card/identify.h"
#include "engine/card/profiles.h"
#include "engine/card/scan.h"
#include "engine/store/store_open.h"

namespace tolverdine::cli {

namespace {
void line(const char* name, const std::optional<std::string>& v) {
  std::printf("%s: %s\n", name, v ? v->c_str() : "-");
}
}  // namespace

int runIdentify(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "사용법: tolverdine identify <카드>\n");
    return 64;
  }
  const auto card = cardFolder(argv[1]);
  if (!card) return 1;
  const std::string& root = *card;
  CardList list = quickList(root);
  CameraID id = identify(root, list.files);
  line("프로필", id.profile);
  line("브랜드", id.brand);
  line("라인", id.line);
  line("모델", id.model);
  line("시리얼", id.serial);
  std::string label = id.label();
  std::printf("이름: %s\n", label.empty() ? "알 수 없음" : label.c_str());
  // Only an existing database is read: looking a camera up must not create one.
  // A database that cannot be opened holds no label to show.
  if (OpenedStore store = openStoreAt(Store::defaultPath(), IfMissing::leave)) {
    if (auto l = storedLabel(*store, id)) std::printf("카메라 라벨: %s\n", l->c_str());
  } else if (!store.error.empty()) {
    std::fprintf(stderr, "카메라 라벨을 읽지 못했습니다: %s\n", store.error.c_str());
  }
  return 0;
}

}  // namespace tolverdine::cli
