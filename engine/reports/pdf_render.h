// Lays styled text onto A4 pages of a PDF with Cairo and Pango: a frame per page, further pages
// while text is left, a footer line on each, an optional logo on the first.
#pragma once

#include <functional>
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

/// The PDF's bytes; absent when the drawing context cannot be created or fails while drawing.
/// footer(n) is the footer of page n (from 1). A logo file that is no readable image is left out.
std::optional<std::string> renderPdf(const std::vector<TextRun>& runs,
                                     const std::function<std::string(int)>& footer,
                                     const std::optional<std::string>& logo);

}  // namespace tolverdine
