// Lays styled text onto A4 pages of a PDF with Cairo and Pango: a frame per page, further pages
// while text is left, a footer line on each, an optional logo on the first.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/reports/pdf_text.h"

namespace tolverdine {

struct LogoBox {
  double width = 0, height = 0;
};

/// The logo's size on the page: 36 points high, as wide as the aspect gives, at most 160.
LogoBox logoBox(int pixelWidth, int pixelHeight);

/// Paragraphs laid out before their document is drawn: the clip lines of a long card, laid out
/// while the card is still being copied, so that the drawing after the copy only places them. A
/// document takes a paragraph from here only where its text and style are the same; the rest it
/// lays out as it draws. Used by one thread at a time.
class PdfLayouts {
 public:
  /// At most this many paragraphs are kept: a laid-out line takes about 5 KB.
  static constexpr size_t kMaxKept = 16384;

  PdfLayouts();
  ~PdfLayouts();
  PdfLayouts(const PdfLayouts&) = delete;
  PdfLayouts& operator=(const PdfLayouts&) = delete;

  /// Lays out each paragraph of runs not laid out yet, while there is room.
  void prepare(const std::vector<TextRun>& runs);
  size_t size() const;

  struct State;
  State* state() { return state_.get(); }

 private:
  std::unique_ptr<State> state_;
};

/// The PDF's bytes; absent when the drawing context cannot be created or fails while drawing.
/// footer(n) is the footer of page n (from 1). A logo file that is no readable image is left out.
/// Paragraphs found in ahead are not laid out again; the document is the same without it.
std::optional<std::string> renderPdf(const std::vector<TextRun>& runs,
                                     const std::function<std::string(int)>& footer,
                                     const std::optional<std::string>& logo,
                                     PdfLayouts* ahead = nullptr);

}  // namespace tolverdine
