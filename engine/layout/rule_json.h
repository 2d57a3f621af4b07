// The JSON form of one classification rule, shared by the preset file and the project file.
#pragma once

#include <optional>

#include <nlohmann/json.hpp>

#include "engine/layout/rules.h"

namespace tolverdine {

/// {"class": …} plus "max_sec", "min_sec", "min_ch", "model" for each present bound.
/// Throws PresetEncodeError (engine/layout/presets.h) for a bound that is not a finite number.
nlohmann::json encodeRule(const Rule& r);

/// Absent unless an object with a text "class" and well-typed optional members (null counts as
/// missing; "min_ch" must be a whole number within int).
std::optional<Rule> decodeRule(const nlohmann::json& o);

}  // namespace tolverdine
