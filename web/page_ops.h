// The page's operations by name, each one step on the model with its arguments checked; the
// backend looks the page's request up here and runs it on the main thread.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/model.h"
#include "web/ui_backend.h"

namespace tolverdine::web {

using PageOp = ActionResult (*)(Model& model, const nlohmann::json& args);

/// Every operation the page can name.
std::vector<std::string_view> pageOpNames();

/// Runs the operation the page names op once its arguments have the types it takes (a refusal
/// otherwise); absent for a name it has none for. Never throws.
std::optional<ActionResult> runPageOp(Model& model, std::string_view op,
                                      const nlohmann::json& args);

}  // namespace tolverdine::web
