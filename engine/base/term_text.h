// File names made safe to print on a terminal or in a one-line log: a name is data, and a
// carriage return, an escape sequence or a direction override in it must not act.
#pragma once

#include <string>
#include <string_view>

namespace tolverdine {

/// s with "\" doubled; tab, line feed and carriage return as \t \n \r; other C0 controls, DEL
/// and every byte outside well-formed UTF-8 as \xNN; C1 controls and the Unicode direction
/// controls as \u{NNNN}. Other text stays as it is.
std::string printableName(std::string_view s);

}  // namespace tolverdine
