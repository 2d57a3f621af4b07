#include "engine/reports/pdf_line.h"

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

std::optional<LineGlyphs> gatherLine(PangoLayoutLine* line) {
  if (!drawable(line)) return std::nullopt;
  LineGlyphs out;
  out.text = pango_layout_get_text(line->layout);
  PangoFont* font = nullptr;
  int runX = 0;  // in Pango units from the line's origin
  for (GSList* l = line->runs; l; l = l->next) {
    auto* run = static_cast<PangoGlyphItem*>(l->data);
    // Positions kept as Pango's drawing sums them, so that the page is the same to the last bit.
    const double base = static_cast<double>(runX) / PANGO_SCALE;
    int x = 0;
    if (run->item->analysis.font != font || out.parts.empty() || out.parts.back().glyphs.empty()) {
      font = run->item->analysis.font;
      // A part that showed nothing yet starts again here, as if it had not been.
      if (out.parts.empty() || !out.parts.back().glyphs.empty()) out.parts.emplace_back();
      out.parts.back().clusters.clear();
      out.parts.back().font = pango_cairo_font_get_scaled_font(PANGO_CAIRO_FONT(font));
      out.parts.back().from = run->item->offset;
    }
    LineGlyphs::Part& part = out.parts.back();
    part.to = run->item->offset + run->item->length;
    const PangoGlyphString* g = run->glyphs;
    PangoGlyphItemIter it;
    for (bool more = pango_glyph_item_iter_init_start(&it, run, out.text); more;
         more = pango_glyph_item_iter_next_cluster(&it)) {
      int shown = 0;
      for (int i = it.start_glyph; i < it.end_glyph; ++i) {
        const PangoGlyphInfo& gi = g->glyphs[i];
        if (gi.glyph != PANGO_GLYPH_EMPTY) {
          part.glyphs.push_back({gi.glyph, base,
                                 static_cast<double>(x + gi.geometry.x_offset) / PANGO_SCALE,
                                 static_cast<double>(gi.geometry.y_offset) / PANGO_SCALE});
          ++shown;
        }
        x += gi.geometry.width;
      }
      part.clusters.push_back({it.end_index - it.start_index, shown});
    }
    runX += x;
  }
  if (!out.parts.empty() && out.parts.back().glyphs.empty()) out.parts.pop_back();
  return out;
}

void showGathered(cairo_t* cr, const LineGlyphs& line) {
  double x0 = 0, y0 = 0;
  cairo_get_current_point(cr, &x0, &y0);
  std::vector<cairo_glyph_t> glyphs;
  for (const auto& part : line.parts) {
    glyphs.clear();
    for (const auto& g : part.glyphs) glyphs.push_back({g.index, (x0 + g.run) + g.x, y0 + g.y});
    cairo_set_scaled_font(cr, part.font);
    cairo_show_text_glyphs(cr, line.text + part.from, part.to - part.from, glyphs.data(),
                           static_cast<int>(glyphs.size()), part.clusters.data(),
                           static_cast<int>(part.clusters.size()), cairo_text_cluster_flags_t(0));
  }
}

bool showLineGlyphs(cairo_t* cr, PangoLayoutLine* line) {
  std::optional<LineGlyphs> gathered = gatherLine(line);
  if (!gathered) return false;
  showGathered(cr, *gathered);
  return true;
}

}  // namespace tolverdine
