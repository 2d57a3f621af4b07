#include "engine/reports/pdf_line.h"

#include <gtest/gtest.h>

#include <string>

namespace tolverdine {
namespace {

// The lines of text drawn on a fresh image, by Pango itself line by line or gathered and drawn
// together; empty when a line is refused.
std::string drawn(const std::string& text, bool own) {
  constexpr int kHeight = 60;
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_A8, 700, kHeight);
  cairo_t* cr = cairo_create(s);
  PangoLayout* layout = pango_cairo_create_layout(cr);
  PangoFontDescription* font = pango_font_description_from_string("NanumGothic 11");
  pango_layout_set_font_description(layout, font);
  pango_layout_set_auto_dir(layout, FALSE);
  PangoTabArray* tabs =
      pango_tab_array_new_with_positions(2, TRUE, PANGO_TAB_LEFT, 150, PANGO_TAB_LEFT, 420);
  pango_layout_set_tabs(layout, tabs);
  pango_layout_set_text(layout, text.data(), static_cast<int>(text.size()));
  bool refused = false;
  {
    GlyphBatch batch;
    for (int i = 0; i < pango_layout_get_line_count(layout); ++i) {
      PangoLayoutLine* line = pango_layout_get_line_readonly(layout, i);
      const double x = 10.3, y = 25.7 + 20.0 * i;
      if (!own) {
        cairo_move_to(cr, x, y);
        pango_cairo_show_layout_line(cr, line);
      } else if (auto glyphs = gatherLine(line)) {
        batch.add(cr, *glyphs, x, y, Rgb{});
      } else {
        refused = true;
      }
    }
    batch.draw(cr);
  }
  std::string pixels;
  if (!refused) {
    cairo_surface_flush(s);
    pixels.assign(reinterpret_cast<const char*>(cairo_image_surface_get_data(s)),
                  cairo_image_surface_get_stride(s) * kHeight);
  }
  EXPECT_EQ(cairo_status(cr), CAIRO_STATUS_SUCCESS) << text;
  pango_tab_array_free(tabs);
  pango_font_description_free(font);
  g_object_unref(layout);
  cairo_destroy(cr);
  cairo_surface_destroy(s);
  return pixels;
}

// Cells of Latin and Hangul between tabs, an accent on its own, a wide space, and lines drawn
// together: the very pixels Pango draws. Glyphs no font has and right-to-left names are left to
// Pango.
TEST(PdfLine, DrawsWhatPangoDraws) {
  for (std::string text : {"C0001.MP4\t인터뷰\t0011223344556677", "e\xCC\x81t\xC3\xA9\tA  B\t\t—",
                           "한글이름_1000003.JPG\t타임랩스\nC0002.MP4\t\t—"}) {
    std::string pango = drawn(text, false);
    EXPECT_NE(pango.find_first_not_of('\0'), std::string::npos) << "nothing drawn: " << text;
    EXPECT_TRUE(drawn(text, true) == pango) << text;
  }
  EXPECT_EQ(drawn("\xEE\x80\x80\xF4\x8F\xBF\xBD.MOV\tx", true), "");
  EXPECT_EQ(drawn("\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D.MOV\tx", true), "");
}

}  // namespace
}  // namespace tolverdine
