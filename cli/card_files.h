// The files of a card as the commands see them: the settled list, with listing problems printed.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "engine/card/listing_error.h"
#include "engine/card/scan.h"

namespace tolverdine::cli {

inline CardList cardList(const std::string& root) {
  CardList list = quickList(root);
  for (const auto& e : list.errors) std::printf("%s\n", listingReason(e).c_str());
  return list;
}

inline std::vector<CardFile> cardFiles(const std::string& root) { return cardList(root).files; }

}  // namespace tolverdine::cli
