#include "engine/card/camera_id.h"

#include "engine/card/profiles.h"

namespace tolverdine {

std::optional<std::string> CameraID::identity() const {
  if (!model) return std::nullopt;
  return serial ? *model + "#" + *serial : *model;
}

std::optional<std::string> CameraID::modelName(const ModelNames& names) const {
  if (!model) return std::nullopt;
  auto it = names.find(*model);
  return it != names.end() ? it->second : *model;
}

std::optional<std::string> CameraID::modelName() const {
  if (!model) return std::nullopt;
  return modelName(modelNames());
}

std::string CameraID::label(const ModelNames& names) const {
  std::string out = brand.value_or("");
  std::optional<std::string> name = model ? modelName(names) : line;
  if (name) out += (out.empty() ? "" : " ") + *name;
  if (serial) out += " #" + *serial;
  return out;
}

std::string CameraID::label() const { return model ? label(modelNames()) : label(ModelNames{}); }

}  // namespace tolverdine
