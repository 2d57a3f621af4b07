#include "engine/library/reclassify.h"

#include <optional>
#include <utility>
#include <vector>

#include "engine/base/files.h"
#include "engine/base/path_name.h"
#include "engine/base/rename.h"
#include "engine/base/text.h"
#include "engine/card/camera_labels.h"
#include "engine/card/scan.h"
#include "engine/hashlist/mhl.h"

namespace tolverdine {
namespace {

std::vector<std::string> pieces(const std::string& path) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) out.push_back(path.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

bool blank(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

}  // namespace

std::string ReclassifyError::description() const {
  switch (kind) {
    case Case::offline: return "드라이브가 연결되어 있지 않습니다: " + path;
    case Case::notClassified: return "분류 폴더에 있는 클립이 아닙니다: " + path;
    case Case::exists: return "옮길 자리에 이미 파일이 있습니다 — 덮어쓰지 않습니다: " + path;
    case Case::failed: return "옮기지 못했습니다: " + path;
  }
  return path;
}

std::string reclassify(const Hit& hit, const std::string& clsIn, const NameSet& names, Store& store,
                       std::time_t now) {
  const std::string& root = hit.dest;
  if (root.empty() || !exists(root)) throw ReclassifyError::offline(hit.dest);
  const std::string classPath = hit.classPath();
  auto p = pieces(classPath);
  bool sound = p.size() == 5 && p[0] == names.footage && staysInside(classPath);
  for (const auto& s : p) sound = sound && s != ".";
  if (!sound) throw ReclassifyError::notClassified(classPath);
  const std::string cls = nfc(clsIn);
  // The target must be one plain folder name inside the session folder.
  if (blank(cls) || cls.find('/') != std::string::npos || cls == "." || cls == "..")
    throw ReclassifyError::failed(cls);
  if (nfc(p[3]) == cls) return classPath;

  const std::string oldFolder = join(p[0], p[1], p[2], p[3]);
  const std::string newFolder = join(p[0], p[1], p[2], cls);
  const std::string clipName = lastComponent(hit.rel);

  std::vector<Hit> moving;
  for (auto& h : store.copiesOn(root)) {
    if (nfc(parentPath(h.classPath())) != oldFolder) continue;
    if (h.key == hit.key || isSidecar("x/" + lastComponent(h.rel), "x/" + clipName))
      moving.push_back(std::move(h));
  }
  bool clipThere = false;
  for (const auto& h : moving) clipThere = clipThere || h.key == hit.key;
  if (!clipThere) throw ReclassifyError::failed(classPath);

  mkdirs(join(root, newFolder));
  std::vector<MHLRename> renames;
  std::vector<std::pair<const Hit*, std::string>> moved;
  std::optional<ReclassifyError> stop;
  for (const auto& h : moving) {
    const std::string newPath = join(newFolder, lastComponent(h.rel));
    if (exists(join(root, newPath))) {
      stop = ReclassifyError::exists(newPath);
      break;
    }
    if (renameNoReplace(join(root, h.classPath()), nfc(join(root, newPath))) != 0) {
      stop = ReclassifyError::failed(h.classPath());
      break;
    }
    moved.emplace_back(&h, newPath);
  }
  // Both folders are flushed before the database names the new places, so that a power cut
  // cannot leave it pointing where the files never arrived. What moved is recorded either way:
  // the files are there now.
  if (!moved.empty() &&
      (syncFolder(join(root, newFolder)) != 0 || syncFolder(join(root, oldFolder)) != 0) && !stop)
    stop = ReclassifyError::failed(join(newFolder, clipName));
  for (const auto& [h, newPath] : moved) {
    store.moveCopy(h->key, h->dest, newPath, h->view.has_value());
    if (!h->view)
      renames.push_back(MHLRename{h->classPath(), newPath, h->size, h->hash.value_or("")});
  }
  if (stop) throw *stop;
  if (!renames.empty()) {
    try {
      writeMHLRenames(root, renames, names, now);
    } catch (const WriteFail&) {
    }
  }
  // Under the model's display name, the name clips are classified by, so that an accepted
  // suggestion fits the next clip of this camera.
  store.appendMove(modelFor(store, hit.cam()), p[3], cls, hit.rel, isoTime(now));
  return join(newFolder, clipName);
}

}  // namespace tolverdine
