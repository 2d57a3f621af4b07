// The page's files, compiled into the binary so that nothing is loaded from elsewhere.
#pragma once

#include <string_view>

namespace tolverdine::web {

struct Asset {
  std::string_view contentType;
  std::string_view body;
};

/// "/index.html", "/app.js", "/app.css"; absent name: body empty.
Asset asset(std::string_view name);

}  // namespace tolverdine::web
