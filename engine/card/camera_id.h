// Which camera wrote a card, as far as identification could tell, and the texts drawn from it.
#pragma once

#include <optional>
#include <string>

#include "engine/card/camera_profile.h"

namespace tolverdine {

struct CameraID {
  std::optional<std::string> profile, brand, line, model, serial;
  bool operator==(const CameraID&) const = default;

  /// model, then "#" + serial when known; absent without a model. Key of the camera table.
  std::optional<std::string> identity() const;
  /// The display name of model in names (model itself when the table has none).
  std::optional<std::string> modelName(const ModelNames& names) const;
  /// The same with the effective table, modelNames().
  std::optional<std::string> modelName() const;
  /// "Sony FX3 #123", "Canon Cinema EOS"; empty when nothing is known.
  std::string label(const ModelNames& names) const;
  std::string label() const;
};

}  // namespace tolverdine
