#include "engine/card/twin.h"

#include "engine/base/text.h"
#include "engine/card/walk.h"
#include "engine/copy/copy.h"
#include "engine/store/store.h"

namespace tolverdine {

namespace {

// The card's own spelling of a listed file: the listing composes names (NFC), while a card
// written on another system may hold them decomposed, and Linux opens names byte for byte.
std::string listedPath(const std::string& root, const std::string& rel) {
  const WalkFs& fs = realWalkFs();
  std::string path = root;
  size_t start = 0;
  while (start <= rel.size()) {
    size_t end = rel.find('/', start);
    if (end == std::string::npos) end = rel.size();
    const std::string part = rel.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    std::string next = path + "/" + part;
    struct ::stat st {};
    if (fs.lstat(next, st) != 0) {
      std::vector<std::string> names;
      if (fs.list(path, names) == 0) {
        for (const auto& n : names)
          if (nfc(n) == part) {
            next = path + "/" + n;
            break;
          }
      }
    }
    path = std::move(next);
  }
  return path;
}

}  // namespace

TwinCheck verifyTwin(const std::string& root, const std::vector<CardFile>& files,
                     const std::string& cam, Store& store, int copiesRequired) {
  TwinCheck out;
  for (const CardFile& f : files) {
    std::string key = ingestKey(cam, f);
    std::optional<std::string> recorded = store.anyVerifiedHash(key);
    if (!recorded) {
      out.differ.push_back(f.rel);
      continue;
    }
    std::optional<std::string> h = hashFile(listedPath(root, f.rel));
    if (!h) {
      out.unread.push_back(f.rel);
    } else if (*h == *recorded) {
      ++out.same;
      // Copies on the twin card's own drive go with it when it is formatted.
      if (store.verifiedCount(key, cardDrive(root, store.drives())) < copiesRequired)
        out.underCopied.push_back(f.rel);
    } else {
      out.differ.push_back(f.rel);
    }
  }
  return out;
}

}  // namespace tolverdine
