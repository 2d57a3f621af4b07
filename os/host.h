// The machine's name as written into hash lists and reports.
#pragma once

#include <string>

namespace tolverdine {

/// gethostname() read once per process; "unknown" when it fails.
const std::string& hostName();

}  // namespace tolverdine
