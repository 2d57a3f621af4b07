// The program's version, set once in the build (the project version) and written into hash
// lists, reports, the recap manifest, the diagnostics bundle and the anonymous folder tree.
#pragma once

namespace tolverdine {

/// "0.3.0".
const char* toolVersion();

}  // namespace tolverdine
