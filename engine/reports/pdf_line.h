// One laid-out line drawn with one Cairo call per font instead of one per run of text: a clip line
// is eight runs (its cells and the tabs between them), and every call costs the PDF surface a
// recorded operation, an analysis and a text object.
#pragma once

#include <pango/pangocairo.h>

#include <optional>
#include <vector>

namespace tolverdine {

/// A line's glyphs gathered for drawing, apart from where it is drawn: the lines of a long clip
/// list are gathered while the card is copied, and the document only places them.
struct LineGlyphs {
  struct Glyph {
    unsigned long index = 0;
    double run = 0, x = 0, y = 0;  // points: the run's start and the glyph within it
  };
  struct Part {  // the glyphs of one font, and the bytes of the line's text they show
    cairo_scaled_font_t* font = nullptr;  // kept alive by the line's layout
    int from = 0, to = 0;
    std::vector<Glyph> glyphs;
    std::vector<cairo_text_cluster_t> clusters;
  };
  const char* text = nullptr;  // the layout's text, which the parts index
  std::vector<Part> parts;
};

/// The line's glyphs; absent when the line holds what only Pango's own drawing does: glyphs the
/// fonts lack (drawn as boxes) or right-to-left text.
std::optional<LineGlyphs> gatherLine(PangoLayoutLine* line);

/// Draws gathered glyphs at cr's current point (the line's baseline origin).
void showGathered(cairo_t* cr, const LineGlyphs& line);

/// Draws line at cr's current point, as pango_cairo_show_layout_line would. False, with nothing
/// drawn, where gatherLine gives nothing.
bool showLineGlyphs(cairo_t* cr, PangoLayoutLine* line);

}  // namespace tolverdine
