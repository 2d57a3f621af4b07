#include "engine/store/card_status.h"

#include <xxhash.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "engine/base/text.h"
#include "engine/store/store.h"

namespace tolverdine {

bool CardStatus::alreadyBackedUp() const {
  const auto* k = std::get_if<Known>(&value);
  // A card with no file is no backup of anything: an unmounted card leaves an empty folder.
  return k && k->files > 0 && k->under == 0 && k->added == 0;
}

std::string statusText(const CardStatus& s) {
  if (const auto* k = std::get_if<CardStatus::Known>(&s.value)) {
    return "known(cam: \"" + k->cam + "\", files: " + std::to_string(k->files) +
           ", under: " + std::to_string(k->under) + ", added: " + std::to_string(k->added) + ")";
  }
  if (const auto* t = std::get_if<CardStatus::Twin>(&s.value))
    return "twin(cam: \"" + t->cam + "\", files: " + std::to_string(t->files) + ")";
  return "new";
}

std::string discountNote(const CardStatus& s) {
  const auto* k = std::get_if<CardStatus::Known>(&s.value);
  if (!k || k->missing + k->changed == 0) return "";
  std::string note = "사본 " + std::to_string(k->missing + k->changed) + "개 제외 — ";
  if (k->missing) note += "파일 없음 " + std::to_string(k->missing);
  if (k->missing && k->changed) note += " · ";
  if (k->changed) note += "바뀜 " + std::to_string(k->changed);
  return note;
}

std::string cardFingerprint(const std::vector<CardFile>& files) {
  std::vector<std::string> lines;
  lines.reserve(files.size());
  // Composed form so that one name reported composed by one reader and decomposed by another
  // hashes the same; byte order of UTF-8 is code point order.
  for (const auto& f : files)
    lines.push_back(nfc(lowerUnicode(f.rel)) + "|" + std::to_string(f.size) + "|" +
                    std::to_string(f.mtimeNs));
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) text += '\n';
    text += lines[i];
  }
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx",
                static_cast<unsigned long long>(XXH3_64bits(text.data(), text.size())));
  return hex;
}

CardStatus cardStatus(const std::vector<CardFile>& files, Store& store, int copiesRequired,
                      const std::optional<std::string>& volume,
                      const std::optional<std::string>& cardDrive) {
  std::string cam;
  if (auto rec = store.camForCard(cardFingerprint(files))) {
    if (volume && rec->volume && *volume != *rec->volume)
      return CardStatus::twin(rec->cam, static_cast<int>(files.size()));
    cam = rec->cam;
  } else {
    // A card with clips added since has a new fingerprint; its older files still name the camera.
    std::optional<std::string> found;
    for (size_t i = 0; i < files.size() && i < 5 && !found; ++i) found = store.camForFile(files[i]);
    if (!found) return CardStatus::newCard();
    cam = *found;
  }
  int under = 0, added = 0, missing = 0, changed = 0;
  std::set<std::string> drives;
  for (const auto& f : files) {
    CopyTally t = store.verifiedTally(ingestKey(cam, f), cardDrive);
    drives.insert(t.drives.begin(), t.drives.end());
    missing += t.missing;
    changed += t.changed;
    if (t.counted == 0) ++added;
    else if (t.counted < copiesRequired) ++under;
  }
  CardStatus s = CardStatus::known(cam, static_cast<int>(files.size()), under, added);
  auto& k = std::get<CardStatus::Known>(s.value);
  k.missing = missing;
  k.changed = changed;
  k.drives = static_cast<int>(drives.size());
  return s;
}

}  // namespace tolverdine
