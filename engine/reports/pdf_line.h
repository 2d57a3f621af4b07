// One laid-out line drawn with one Cairo call per font instead of one per run of text: a clip line
// is eight runs (its cells and the tabs between them), and every call costs the PDF surface a
// recorded operation, an analysis and a text object.
#pragma once

#include <pango/pangocairo.h>

namespace tolverdine {

/// Draws line at cr's current point (its baseline origin), as pango_cairo_show_layout_line would.
/// False, with nothing drawn, when the line holds what only Pango's own drawing does: glyphs the
/// fonts lack (drawn as boxes) or right-to-left text.
bool showLineGlyphs(cairo_t* cr, PangoLayoutLine* line);

}  // namespace tolverdine
