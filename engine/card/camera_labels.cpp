#include "engine/card/camera_labels.h"

#include "engine/card/profiles.h"
#include "engine/store/store.h"

namespace tolverdine {

std::optional<std::string> storedLabel(Store& store, const CameraID& id) {
  auto key = id.identity();
  if (!key || key->empty()) return std::nullopt;
  return store.cameraLabel(*key);
}

void rememberCamera(Store& store, const CameraID& id, const std::string& label) {
  if (auto key = id.identity(); key && !key->empty()) store.rememberCamera(*key, label);
}

std::string nextFreeLabel(const std::set<std::string>& used) {
  for (char l = 'A'; l <= 'Z'; ++l) {
    std::string label = std::string(1, l) + "캠";
    if (!used.count(label)) return label;
  }
  return "A캠";
}

std::set<std::string> labelsInUse(Store& store) {
  std::set<std::string> used;
  for (const auto& c : store.allCameras()) used.insert(c.label);
  for (const auto& c : store.cardHistory(1000)) used.insert(c.cam);
  return used;
}

std::optional<std::string> modelFor(Store& store, const std::string& label) {
  // The table is read once per call, so an installed pack counts from the next call on.
  ModelNames names = modelNames();
  return store.modelFor(label, [&](const std::string& code) -> std::optional<std::string> {
    auto it = names.find(code);
    if (it == names.end()) return std::nullopt;
    return it->second;
  });
}

}  // namespace tolverdine
