// The settings form: every preferences key with its Korean label, its kind of field and, for
// choices, the Korean text of each value. The application fills in the values.
#pragma once

#include <nlohmann/json.hpp>

namespace tolverdine::web {

/// [{"key", "label", "type": "text|number|bool|choice|list", "choices"?, "example"?}] in the
/// order the page shows them; "value" is left for the caller.
nlohmann::json settingFields();

}  // namespace tolverdine::web
