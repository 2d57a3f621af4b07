// The files of a card as the commands see them: the settled list, with listing problems printed.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/canonical_path.h"
#include "engine/base/term_text.h"
#include "engine/card/listing_error.h"
#include "engine/card/scan.h"

namespace tolverdine::cli {

/// The card folder a command was given, made canonical; absent, after saying why on stderr, when
/// nothing is there or it is not a folder (a card is the folder it is mounted on).
inline std::optional<std::string> cardFolder(const std::string& arg) {
  const std::string root = canonicalPath(arg);
  const std::string shown = printableName(arg);
  struct stat st {};
  if (::stat(root.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      std::fprintf(stderr, "카드 폴더가 없습니다: %s\n", shown.c_str());
    else
      std::fprintf(stderr, "카드 폴더를 열 수 없습니다: %s (%s)\n", shown.c_str(),
                   std::strerror(errno));
    return std::nullopt;
  }
  if (!S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "카드는 카드가 연결된 폴더여야 합니다 (파일임): %s\n", shown.c_str());
    return std::nullopt;
  }
  return root;
}

/// A listing problem named by the card's own path, so the card folder itself is not "/".
inline std::string cardListingReason(const std::string& root, const ListingError& e) {
  ListingError named = e;
  named.rel = e.rel.empty() ? printableName(root) : printableName(root + "/" + e.rel);
  return listingReason(named);
}

inline CardList cardList(const std::string& root) {
  CardList list = quickList(root);
  for (const auto& e : list.errors) std::printf("%s\n", cardListingReason(root, e).c_str());
  return list;
}

inline std::vector<CardFile> cardFiles(const std::string& root) { return cardList(root).files; }

}  // namespace tolverdine::cli
