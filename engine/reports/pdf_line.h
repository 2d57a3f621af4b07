// Laid-out lines drawn with one Cairo call per font and colour instead of one per run of text: a
// clip line is eight runs (its cells and the tabs between them), a page some eighty lines, and
// every call costs the PDF surface a recorded operation, an analysis and a text object.
#pragma once

#include <pango/pangocairo.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/reports/pdf_text.h"

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

/// Gathered lines waiting to be drawn together, in the order they were added.
class GlyphBatch {
 public:
  GlyphBatch() = default;
  ~GlyphBatch();
  GlyphBatch(const GlyphBatch&) = delete;
  GlyphBatch& operator=(const GlyphBatch&) = delete;

  /// Adds line with its baseline origin at (x, y), in colour. What waits in another font or
  /// colour is drawn on cr first.
  void add(cairo_t* cr, const LineGlyphs& line, double x, double y, const Rgb& colour);
  /// Draws what waits, if anything.
  void draw(cairo_t* cr);

 private:
  cairo_scaled_font_t* font_ = nullptr;  // a reference of its own: a line's layout may be gone
  Rgb colour_;
  std::string text_;
  std::vector<cairo_glyph_t> glyphs_;
  std::vector<cairo_text_cluster_t> clusters_;
};

}  // namespace tolverdine
