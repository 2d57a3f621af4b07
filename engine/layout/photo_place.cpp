#include "engine/layout/photo_place.h"

#include <map>
#include <optional>

#include "engine/base/files.h"
#include "engine/base/names.h"
#include "engine/base/text.h"
#include "engine/copy/copy.h"
#include "engine/store/store.h"

namespace tolverdine {

namespace {

struct Occupant {
  std::string cam;
  int64_t size = 0;
  std::optional<std::string> hash;
};

std::string camOf(const std::string& key) { return key.substr(0, key.find('|')); }

std::string under(const std::string& root, const std::string& rel) {
  return !root.empty() && root.back() == '/' ? root + rel : root + "/" + rel;
}

}  // namespace

std::vector<std::string> placeSameNamePhotos(std::vector<Row>& rows, const std::string& cam,
                                             const std::vector<std::string>& roots, Store& store) {
  struct Candidate {
    Row* row;
    std::string sub;
    std::vector<size_t> taken;  // roots where something else is at the planned place
  };
  std::vector<Candidate> candidates;
  std::vector<std::string> moved;
  ReadSnapshot together(store);  // one read of the store for every photo, not one each
  for (auto& r : rows) {
    if (r.kind != Kind::photo || !r.dest) continue;
    const std::string place = *r.dest;
    const std::string sub = join(parentPath(place), cam, lastComponent(place));
    const std::string key = ingestKey(cam, r);
    bool oursInSub = false, oursInPlace = false;
    for (const auto& root : roots) {
      const CopyPlaces at = store.copyPlaces(key, root);
      for (const auto& v : {at.rel, at.view}) {
        oursInSub = oursInSub || v == sub;
        oursInPlace = oursInPlace || v == place;
      }
    }
    if (oursInSub && !oursInPlace) {
      // A run before this one found the place taken: this card's copies are in the sub-folder.
      r.dest = sub;
      moved.push_back(sub);
      continue;
    }
    if (oursInPlace) continue;
    Candidate c{&r, sub, {}};
    for (size_t i = 0; i < roots.size(); ++i)
      if (exists(under(roots[i], place))) c.taken.push_back(i);
    if (!c.taken.empty()) candidates.push_back(std::move(c));
  }
  // Who holds the taken places: one reading of each destination's rows, only when needed.
  std::vector<std::optional<std::map<std::string, std::vector<Occupant>>>> held(roots.size());
  auto occupants = [&](size_t i) -> const std::map<std::string, std::vector<Occupant>>& {
    if (!held[i]) {
      held[i].emplace();
      for (const Entry& e : store.entriesOn(roots[i])) {
        Occupant o{camOf(e.key), e.size, e.hash};
        (*held[i])[e.rel].push_back(o);
        if (e.view) (*held[i])[*e.view].push_back(o);
      }
    }
    return *held[i];
  };
  for (auto& c : candidates) {
    Row& r = *c.row;
    std::optional<std::optional<std::string>> srcHash;
    bool otherCamera = false;
    for (size_t i : c.taken) {
      const auto& map = occupants(i);
      auto it = map.find(*r.dest);
      if (it == map.end())
        continue;  // a file nobody recorded: the run compares it, never replaces it
      for (const auto& o : it->second) {
        if (o.cam == cam) continue;
        // Another camera's copy of the very same file (a card read again under a new label) is
        // simply this photo, found in place.
        bool different = o.size != r.size;
        if (!different) {
          if (!srcHash) srcHash = hashFile(r.src);
          different = !*srcHash || !o.hash || **srcHash != *o.hash;
        }
        otherCamera = otherCamera || different;
      }
    }
    if (!otherCamera) continue;
    r.dest = c.sub;
    moved.push_back(c.sub);
  }
  if (moved.empty()) return {};
  std::vector<std::string> notes;
  notes.push_back("다른 카메라의 같은 이름 사진이 있어 " + cam + " 폴더에 넣음: " +
                  std::to_string(moved.size()) + "개 (예: " + moved.front() + ")");
  return notes;
}

}  // namespace tolverdine
