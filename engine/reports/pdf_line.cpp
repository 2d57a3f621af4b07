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

GlyphBatch::~GlyphBatch() {
  if (font_) cairo_scaled_font_destroy(font_);
}

void GlyphBatch::add(cairo_t* cr, const LineGlyphs& line, double x, double y, const Rgb& colour) {
  for (const auto& part : line.parts) {
    if (part.font != font_ || !(colour == colour_)) {
      draw(cr);
      if (font_) cairo_scaled_font_destroy(font_);
      font_ = cairo_scaled_font_reference(part.font);
      colour_ = colour;
    }
    // Positions summed as Pango's drawing sums them, so that the page is the same to the last bit.
    for (const auto& g : part.glyphs) glyphs_.push_back({g.index, (x + g.run) + g.x, y + g.y});
    text_.append(line.text + part.from, static_cast<size_t>(part.to - part.from));
    clusters_.insert(clusters_.end(), part.clusters.begin(), part.clusters.end());
  }
}

void GlyphBatch::draw(cairo_t* cr) {
  if (glyphs_.empty()) return;
  cairo_set_source_rgb(cr, colour_.r, colour_.g, colour_.b);
  cairo_set_scaled_font(cr, font_);
  cairo_show_text_glyphs(cr, text_.data(), static_cast<int>(text_.size()), glyphs_.data(),
                         static_cast<int>(glyphs_.size()), clusters_.data(),
                         static_cast<int>(clusters_.size()), cairo_text_cluster_flags_t(0));
  text_.clear();
  glyphs_.clear();
  clusters_.clear();
}

}  // namespace tolverdine
