#include "engine/card/card_detect.h"

#include <vector>

#include "engine/base/text.h"
#include "engine/card/card_names.h"
#include "engine/card/walk.h"

namespace tolverdine {

namespace {
std::vector<std::string> topLevel(const std::string& root) {
  std::vector<std::string> names;
  if (realWalkFs().list(standardPath(root), names) != 0) names.clear();
  return names;
}
}  // namespace

bool looksLikeCard(const std::string& root) {
  for (const auto& n : topLevel(root))
    if (cameraDirs().count(lowerUnicode(n)) || rootVideo().count(lowerExt(n))) return true;
  return false;
}

bool isCard(const std::string& root, bool removable) { return removable && looksLikeCard(root); }

bool hasInstaller(const std::string& root) {
  for (const auto& n : topLevel(root))
    if (installerExt().count(lowerExt(n))) return true;
  return false;
}

bool isGenericMedia(const std::string& root, bool removable, bool diskImage) {
  return removable && !diskImage && !hasInstaller(root);
}

bool isDiskImage(const std::optional<std::string>& model, const std::optional<std::string>& proto) {
  return model == "Disk Image" || proto == "Virtual Interface";
}

bool isSmallVolume(std::optional<int64_t> capacity) {
  return capacity && *capacity >= 1 && *capacity <= 2'200'000'000'000;
}

CardDecision decideCard(const std::string& root, bool removable, bool diskImage,
                        std::optional<int64_t> capacity) {
  if (isCard(root, removable)) return CardDecision::card;
  if (isGenericMedia(root, removable, diskImage) && isSmallVolume(capacity))
    return CardDecision::generic;
  return CardDecision::none;
}

}  // namespace tolverdine
