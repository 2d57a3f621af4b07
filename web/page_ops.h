// The page's operations by name, each one step on the model with its arguments checked; the
// backend looks the page's request up here and runs it on the main thread.
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

#include "app/model.h"
#include "web/ui_backend.h"

namespace tolverdine::web {

using PageOp = ActionResult (*)(Model& model, const nlohmann::json& args);

/// The operation the page names op; null for a name it has none for.
PageOp pageOp(std::string_view op);

}  // namespace tolverdine::web
