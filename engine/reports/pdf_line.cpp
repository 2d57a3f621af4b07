#include "engine/reports/pdf_line.h"

#include <vector>

namespace tolverdine {

namespace {

bool drawable(PangoLayoutLine* line) {
  for (GSList* l = line->runs; l; l = l->next) {
    auto* run = static_cast<PangoGlyphItem*>(l->data);
    if (run->item->analysis.level & 1) return false;
    const PangoGlyphString* g = run->glyphs;
    for (int i = 0; i < g->num_glyphs; ++i) {
      PangoGlyph glyph = g->glyphs[i].glyph;
      if (glyph != PANGO_GLYPH_EMPTY && (glyph & PANGO_GLYPH_UNKNOWN_FLAG)) return false;
    }
  }
  return true;
}

}  // namespace

bool showLineGlyphs(cairo_t* cr, PangoLayoutLine* line) {
  if (!drawable(line)) return false;
  double x0 = 0, y0 = 0;
  cairo_get_current_point(cr, &x0, &y0);
  const char* text = pango_layout_get_text(line->layout);

  std::vector<cairo_glyph_t> glyphs;
  std::vector<cairo_text_cluster_t> clusters;
  PangoFont* font = nullptr;
  int from = 0, to = 0;  // the bytes of text the gathered glyphs show
  auto flush = [&] {
    if (font && !glyphs.empty()) {
      cairo_set_scaled_font(cr, pango_cairo_font_get_scaled_font(PANGO_CAIRO_FONT(font)));
      cairo_show_text_glyphs(cr, text + from, to - from, glyphs.data(),
                             static_cast<int>(glyphs.size()), clusters.data(),
                             static_cast<int>(clusters.size()), cairo_text_cluster_flags_t(0));
    }
    glyphs.clear();
    clusters.clear();
  };

  int runX = 0;  // in Pango units from the line's origin
  for (GSList* l = line->runs; l; l = l->next) {
    auto* run = static_cast<PangoGlyphItem*>(l->data);
    // Positions summed as Pango's drawing sums them, so that the page is the same to the last bit.
    const double base = x0 + static_cast<double>(runX) / PANGO_SCALE;
    int x = 0;
    if (run->item->analysis.font != font || glyphs.empty()) {
      flush();
      font = run->item->analysis.font;
      from = run->item->offset;
    }
    to = run->item->offset + run->item->length;
    const PangoGlyphString* g = run->glyphs;
    PangoGlyphItemIter it;
    for (bool more = pango_glyph_item_iter_init_start(&it, run, text); more;
         more = pango_glyph_item_iter_next_cluster(&it)) {
      int shown = 0;
      for (int i = it.start_glyph; i < it.end_glyph; ++i) {
        const PangoGlyphInfo& gi = g->glyphs[i];
        if (gi.glyph != PANGO_GLYPH_EMPTY) {
          glyphs.push_back({gi.glyph,
                            base + static_cast<double>(x + gi.geometry.x_offset) / PANGO_SCALE,
                            y0 + static_cast<double>(gi.geometry.y_offset) / PANGO_SCALE});
          ++shown;
        }
        x += gi.geometry.width;
      }
      clusters.push_back({it.end_index - it.start_index, shown});
    }
    runX += x;
  }
  flush();
  return true;
}

}  // namespace tolverdine
