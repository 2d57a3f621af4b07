#include "engine/reports/pdf_render.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "engine/reports/pdf_line.h"

namespace tolverdine {

namespace {
// A4 in points; Cairo's origin is top left, so the frame's bottom at 56 lies at 842 - 56.
constexpr double kPageW = 595, kPageH = 842;
constexpr double kFrameX = 40, kFrameTop = kPageH - (56 + 746), kFrameW = 515, kFrameH = 746;
constexpr double kFooterX = 40, kFooterBaseline = kPageH - 32;
constexpr double kLogoRight = 555, kLogoBottom = 770;
constexpr const char* kFamily = "NanumGothic,Noto Sans CJK KR,sans-serif";

struct GDeleter {
  void operator()(gpointer p) const { g_object_unref(p); }
};
template <class T> using GPtr = std::unique_ptr<T, GDeleter>;
struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
struct CairoDeleter {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
struct FontDeleter {
  void operator()(PangoFontDescription* f) const { pango_font_description_free(f); }
};
struct TabsDeleter {
  void operator()(PangoTabArray* t) const { pango_tab_array_free(t); }
};
struct IterDeleter {
  void operator()(PangoLayoutIter* i) const { pango_layout_iter_free(i); }
};

cairo_status_t appendBytes(void* closure, const unsigned char* data, unsigned int length) {
  try {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
  } catch (const std::bad_alloc&) {
    return CAIRO_STATUS_WRITE_ERROR;
  }
}

// Any format gdk-pixbuf reads, turned into Cairo's premultiplied ARGB.
Surface loadImage(const std::string& path) {
  GError* err = nullptr;
  GPtr<GdkPixbuf> pb(gdk_pixbuf_new_from_file(path.c_str(), &err));
  if (err) g_error_free(err);
  if (!pb) return nullptr;
  int w = gdk_pixbuf_get_width(pb.get()), h = gdk_pixbuf_get_height(pb.get());
  int n = gdk_pixbuf_get_n_channels(pb.get()), stride = gdk_pixbuf_get_rowstride(pb.get());
  if (gdk_pixbuf_get_bits_per_sample(pb.get()) != 8 || (n != 3 && n != 4) || w <= 0 || h <= 0)
    return nullptr;
  Surface img(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h));
  if (cairo_surface_status(img.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
  cairo_surface_flush(img.get());
  const guchar* src = gdk_pixbuf_read_pixels(pb.get());
  unsigned char* dst = cairo_image_surface_get_data(img.get());
  int dstride = cairo_image_surface_get_stride(img.get());
  for (int y = 0; y < h; ++y) {
    const guchar* s = src + static_cast<size_t>(y) * stride;
    auto* d = reinterpret_cast<uint32_t*>(dst + static_cast<size_t>(y) * dstride);
    for (int x = 0; x < w; ++x, s += n) {
      uint32_t a = n == 4 ? s[3] : 255;
      auto pre = [a](uint32_t c) { return (c * a + 127) / 255; };
      d[x] = (a << 24) | (pre(s[0]) << 16) | (pre(s[1]) << 8) | pre(s[2]);
    }
  }
  cairo_surface_mark_dirty(img.get());
  return img;
}

void drawLogo(cairo_t* cr, cairo_surface_t* img) {
  int pw = cairo_image_surface_get_width(img), ph = cairo_image_surface_get_height(img);
  LogoBox box = logoBox(pw, ph);
  cairo_save(cr);
  cairo_translate(cr, kLogoRight - box.width, kPageH - (kLogoBottom + box.height));
  cairo_scale(cr, box.width / pw, box.height / ph);
  cairo_set_source_surface(cr, img, 0, 0);
  cairo_paint(cr);
  cairo_restore(cr);
}

GPtr<PangoLayout> makeLayout(PangoContext* ctx, const std::string& text, double size, bool bold,
                             const std::vector<double>& tabs, bool wrap) {
  GPtr<PangoLayout> layout(pango_layout_new(ctx));
  std::unique_ptr<PangoFontDescription, FontDeleter> font(pango_font_description_new());
  pango_font_description_set_family(font.get(), kFamily);
  pango_font_description_set_weight(font.get(), bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  pango_font_description_set_absolute_size(font.get(), size * PANGO_SCALE);
  pango_layout_set_font_description(layout.get(), font.get());
  pango_layout_set_auto_dir(layout.get(), FALSE);  // the context's direction, below
  if (!tabs.empty()) {
    std::unique_ptr<PangoTabArray, TabsDeleter> arr(
        pango_tab_array_new(static_cast<gint>(tabs.size()), FALSE));
    for (size_t i = 0; i < tabs.size(); ++i)
      pango_tab_array_set_tab(arr.get(), static_cast<gint>(i), PANGO_TAB_LEFT,
                              static_cast<gint>(tabs[i] * PANGO_SCALE));
    pango_layout_set_tabs(layout.get(), arr.get());
  }
  if (wrap) {
    pango_layout_set_width(layout.get(), static_cast<int>(kFrameW * PANGO_SCALE));
    pango_layout_set_wrap(layout.get(), PANGO_WRAP_WORD_CHAR);
    // A path broken over two lines must not gain a hyphen that is not in the name.
    PangoAttrList* attrs = pango_attr_list_new();
    pango_attr_list_insert(attrs, pango_attr_insert_hyphens_new(FALSE));
    pango_layout_set_attributes(layout.get(), attrs);
    pango_attr_list_unref(attrs);
  }
  pango_layout_set_text(layout.get(), text.data(), static_cast<int>(text.size()));
  return layout;
}

// Each run ends its paragraphs at line feeds; a last piece without one is a paragraph too.
std::vector<std::pair<std::string, const TextRun*>> paragraphs(const std::vector<TextRun>& runs) {
  std::vector<std::pair<std::string, const TextRun*>> out;
  for (const auto& r : runs) {
    size_t at = 0;
    while (at < r.text.size()) {
      size_t nl = r.text.find('\n', at);
      if (nl == std::string::npos) nl = r.text.size();
      out.emplace_back(r.text.substr(at, nl - at), &r);
      at = nl + 1;
    }
  }
  return out;
}

// Room between a cell's end and the next tab stop.
constexpr double kCellGap = 6;

// Every cell that has a tab stop after it ends before that stop, shortened in the middle by its
// drawn width: a wide name (Hangul takes about twice a Latin letter) must not push the row's
// later cells past their stops. A cell measured once is not measured again (widths, per style):
// the columns of a long clip list repeat the same few texts.
std::string fitCells(const std::string& text, PangoLayout* measure,
                     std::unordered_map<std::string, double>& widths,
                     const std::vector<double>& tabs) {
  std::string out;
  size_t at = 0;
  for (size_t k = 0;; ++k) {
    size_t tab = text.find('\t', at);
    std::string cell = text.substr(at, tab == std::string::npos ? std::string::npos : tab - at);
    if (tab == std::string::npos || k >= tabs.size()) {
      out += text.substr(at);
      return out;
    }
    const double room = tabs[k] - (k == 0 ? 0 : tabs[k - 1]) - kCellGap;
    out += shortenToFit(cell, [&](const std::string& s) {
      auto [it, fresh] = widths.try_emplace(s, 0.0);
      if (fresh) {
        pango_layout_set_text(measure, s.data(), static_cast<int>(s.size()));
        PangoRectangle logical;
        pango_layout_get_extents(measure, nullptr, &logical);
        it->second = static_cast<double>(logical.width) / PANGO_SCALE;
      }
      return it->second <= room;
    });
    out += '\t';
    at = tab + 1;
  }
}

struct Measure {
  GPtr<PangoLayout> layout;  // one unwrapped cell at a time
  std::unordered_map<std::string, double> widths;
};

// What a document's paragraphs are laid out with: the fonts, the widths measured, a layout per
// style that is given each paragraph's text in turn (a clip list of thousands of lines would
// otherwise build thousands of layouts with the same font and tabs). A private font map per
// document: reports of several destinations are drawn on several threads.
struct Typesetter {
  GPtr<PangoFontMap> fonts;
  GPtr<PangoContext> ctx;
  std::map<std::pair<double, bool>, Measure> measures;
  std::map<std::tuple<double, bool, std::vector<double>>, GPtr<PangoLayout>> styles;

  // The fonts as a document on cr draws them: unhinted metrics, unrounded positions.
  void start(cairo_t* cr) {
    fonts.reset(pango_cairo_font_map_new());
    ctx.reset(pango_font_map_create_context(fonts.get()));
    std::unique_ptr<cairo_font_options_t, void (*)(cairo_font_options_t*)> opts(
        cairo_font_options_create(), cairo_font_options_destroy);
    cairo_font_options_set_hint_metrics(opts.get(), CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(opts.get(), CAIRO_HINT_STYLE_NONE);
    pango_cairo_context_set_font_options(ctx.get(), opts.get());
    pango_context_set_round_glyph_positions(ctx.get(), FALSE);
    // Left to right whatever script a file name is in: a clip line that began with a Hebrew name
    // would otherwise set its cells from the right edge, its hash first.
    pango_context_set_base_dir(ctx.get(), PANGO_DIRECTION_LTR);
    pango_cairo_update_context(cr, ctx.get());
  }

  std::string fitted(const std::string& text, const TextRun& run) {
    if (run.tabs.empty()) return text;
    Measure& m = measures[{run.size, run.bold}];
    if (!m.layout) m.layout = makeLayout(ctx.get(), "", run.size, run.bold, {}, false);
    return fitCells(text, m.layout.get(), m.widths, run.tabs);
  }

  // A layout of its own holding the paragraph.
  GPtr<PangoLayout> fresh(const std::string& text, const TextRun& run) {
    return makeLayout(ctx.get(), fitted(text, run), run.size, run.bold, run.tabs, true);
  }

  // The style's layout, holding the paragraph now.
  PangoLayout* lay(const std::string& text, const TextRun& run) {
    GPtr<PangoLayout>& layout = styles[{run.size, run.bold, run.tabs}];
    if (!layout) return (layout = fresh(text, run)).get();
    const std::string fit = fitted(text, run);
    pango_layout_set_text(layout.get(), fit.data(), static_cast<int>(fit.size()));
    return layout.get();
  }
};

// A paragraph and its style, as paragraphs laid out ahead are found.
// The numbers go in as their bytes: formatting them as text took a tenth of the drawing.
std::string paragraphKey(const std::string& text, const TextRun& run) {
  std::string key;
  key.reserve(sizeof(double) * (run.tabs.size() + 1) + 2 + text.size());
  auto put = [&](double v) { key.append(reinterpret_cast<const char*>(&v), sizeof v); };
  key += static_cast<char>(run.tabs.size());  // first: it fixes where the text begins
  put(run.size);
  for (double t : run.tabs) put(t);
  key += run.bold ? 'b' : 'r';
  return key + text;
}

// Each line of layout with its logical extents and its baseline below their top, while f says
// to go on.
template <class F> void lines(PangoLayout* layout, F f) {
  std::unique_ptr<PangoLayoutIter, IterDeleter> it(pango_layout_get_iter(layout));
  do {
    PangoRectangle logical;
    pango_layout_iter_get_line_extents(it.get(), nullptr, &logical);
    double baseline =
        static_cast<double>(pango_layout_iter_get_baseline(it.get()) - logical.y) / PANGO_SCALE;
    if (!f(pango_layout_iter_get_line_readonly(it.get()), logical, baseline)) return;
  } while (pango_layout_iter_next_line(it.get()));
}

class Pages {
 public:
  Pages(cairo_t* cr, PangoContext* ctx, const std::function<std::string(int)>& footer,
        cairo_surface_t* logo)
      : cr_(cr), ctx_(ctx), footer_(footer), logo_(logo) {}

  // False when the line cannot fit even on a fresh page: the document ends there. gathered: the
  // line's glyphs gathered ahead, when it was laid out ahead (empty: Pango draws it).
  bool place(PangoLayoutLine* line, const PangoRectangle& logical, double baseline,
             const Rgb& colour, const std::optional<LineGlyphs>* gathered = nullptr) {
    double h = static_cast<double>(logical.height) / PANGO_SCALE;
    if (!open_) begin();
    if (used_ + h > kFrameH) {
      if (shownOnPage_ == 0) return false;
      end();
      begin();
    }
    const double x = kFrameX + static_cast<double>(logical.x) / PANGO_SCALE;
    const double y = kFrameTop + used_ + baseline;
    std::optional<LineGlyphs> own;
    if (!gathered) own = gatherLine(line);
    const std::optional<LineGlyphs>& glyphs = gathered ? *gathered : own;
    if (glyphs) {
      batch_.add(cr_, *glyphs, x, y, colour);
    } else {
      batch_.draw(cr_);
      cairo_set_source_rgb(cr_, colour.r, colour.g, colour.b);
      cairo_move_to(cr_, x, y);
      pango_cairo_show_layout_line(cr_, line);
    }
    used_ += h;
    ++shownOnPage_;
    return true;
  }

  void finish() {
    if (!open_) begin();
    end();
  }

 private:
  void begin() {
    ++page_;
    open_ = true;
    used_ = 0;
    shownOnPage_ = 0;
    if (page_ == 1 && logo_) drawLogo(cr_, logo_);
  }
  void end() {
    batch_.draw(cr_);
    const std::string text = footer_(page_);
    // One layout for every page's footer: a long card has hundreds of pages.
    if (!footerLayout_) {
      footerLayout_ = makeLayout(ctx_, text, 7.5, false, {}, false);
      // One line as wide as the frame: a long project name gives way, the page number stays.
      pango_layout_set_width(footerLayout_.get(), static_cast<int>(kFrameW * PANGO_SCALE));
      pango_layout_set_ellipsize(footerLayout_.get(), PANGO_ELLIPSIZE_MIDDLE);
    } else {
      pango_layout_set_text(footerLayout_.get(), text.data(), static_cast<int>(text.size()));
    }
    cairo_set_source_rgb(cr_, 0.5, 0.5, 0.5);
    cairo_move_to(cr_, kFooterX, kFooterBaseline);
    pango_cairo_show_layout_line(cr_, pango_layout_get_line_readonly(footerLayout_.get(), 0));
    cairo_show_page(cr_);
    open_ = false;
  }

  cairo_t* cr_;
  PangoContext* ctx_;
  const std::function<std::string(int)>& footer_;
  cairo_surface_t* logo_;
  GPtr<PangoLayout> footerLayout_;
  GlyphBatch batch_;  // the page's lines not drawn yet
  int page_ = 0, shownOnPage_ = 0;
  double used_ = 0;
  bool open_ = false;
};
}  // namespace

struct PdfLayouts::State {
  // A document never drawn gives the fonts the options every real one gives them, so that its
  // layouts stay valid when a real one draws them.
  Surface surface;
  std::unique_ptr<cairo_t, CairoDeleter> cr;
  Typesetter type;
  struct Line {
    PangoLayoutLine* line = nullptr;  // the layout's own
    PangoRectangle logical{};
    double baseline = 0;
    std::optional<LineGlyphs> glyphs;
  };
  // A paragraph laid out ahead with its lines measured and their glyphs gathered: the document
  // only places them.
  struct Laid {
    GPtr<PangoLayout> layout;
    std::vector<Line> lines;
  };
  std::unordered_map<std::string, Laid> laid;
};

PdfLayouts::PdfLayouts() : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.surface.reset(cairo_pdf_surface_create_for_stream(nullptr, nullptr, kPageW, kPageH));
  s.cr.reset(cairo_create(s.surface.get()));
  s.type.start(s.cr.get());
}

PdfLayouts::~PdfLayouts() = default;

size_t PdfLayouts::size() const { return state_->laid.size(); }

void PdfLayouts::prepare(const std::vector<TextRun>& runs) {
  State& s = *state_;
  if (cairo_status(s.cr.get()) != CAIRO_STATUS_SUCCESS) return;
  for (const auto& [text, run] : paragraphs(runs)) {
    if (s.laid.size() >= kMaxKept) return;
    auto [it, fresh] = s.laid.try_emplace(paragraphKey(text, *run));
    if (!fresh) continue;
    State::Laid& laid = it->second;
    laid.layout = s.type.fresh(text, *run);
    lines(laid.layout.get(),
          [&](PangoLayoutLine* line, const PangoRectangle& logical, double baseline) {
            laid.lines.push_back({line, logical, baseline, gatherLine(line)});
            return true;
          });
  }
}

LogoBox logoBox(int pixelWidth, int pixelHeight) {
  double w = static_cast<double>(pixelWidth) * 36.0 / std::max(pixelHeight, 1);
  return {std::min(w, 160.0), 36};
}

std::optional<std::string> renderPdf(const std::vector<TextRun>& runs,
                                     const std::function<std::string(int)>& footer,
                                     const std::optional<std::string>& logo, PdfLayouts* ahead) {
  std::string bytes;
  Surface surface(cairo_pdf_surface_create_for_stream(appendBytes, &bytes, kPageW, kPageH));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  std::unique_ptr<cairo_t, CairoDeleter> cr(cairo_create(surface.get()));
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;

  PdfLayouts::State* laid = ahead ? ahead->state() : nullptr;
  if (laid && cairo_status(laid->cr.get()) != CAIRO_STATUS_SUCCESS) laid = nullptr;
  Typesetter own;
  Typesetter& type = laid ? laid->type : own;
  // Laid out ahead, the fonts already have the options of a document like this one; updating
  // them from it would lay every paragraph out again.
  if (!laid) own.start(cr.get());

  Surface logoImage = logo ? loadImage(*logo) : nullptr;
  Pages pages(cr.get(), type.ctx.get(), footer, logoImage.get());
  bool more = true;
  for (const auto& [text, run] : paragraphs(runs)) {
    const PdfLayouts::State::Laid* ready = nullptr;
    if (laid) {
      auto found = laid->laid.find(paragraphKey(text, *run));
      if (found != laid->laid.end()) ready = &found->second;
    }
    if (ready) {
      for (const auto& line : ready->lines)
        if (!(more =
                  pages.place(line.line, line.logical, line.baseline, run->colour, &line.glyphs)))
          break;
    } else {
      lines(type.lay(text, *run),
            [&](PangoLayoutLine* line, const PangoRectangle& logical, double baseline) {
              return more = pages.place(line, logical, baseline, run->colour);
            });
    }
    if (!more) break;
  }
  pages.finish();

  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  cr.reset();
  cairo_surface_finish(surface.get());
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  return bytes;
}

}  // namespace tolverdine
