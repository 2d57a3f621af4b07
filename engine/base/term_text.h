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

/// Columns s takes on a terminal: two for wide and full-width characters (Hangul, CJK), none for
/// combining marks and Hangul medial or final jamo, one otherwise.
int displayWidth(std::string_view s);

/// s followed by spaces up to `width` columns; s as it is when it is wider.
std::string padTo(std::string_view s, int width);

}  // namespace tolverdine
