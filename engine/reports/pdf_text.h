// The printed report's content as styled text runs, kept apart from drawing so that every line
// can be checked without rendering a page.
#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/records.h"

namespace tolverdine {

class Store;

struct Rgb {
  double r = 0, g = 0, b = 0;
  static Rgb grey(double level) { return {level, level, level}; }
  bool operator==(const Rgb&) const = default;
};

/// One run of text in one style; tab stops are left-aligned, in points. Every run the report
/// builds ends with a line feed, so each paragraph has exactly one style.
struct TextRun {
  std::string text;
  double size = 10;
  bool bold = false;
  Rgb colour;
  std::vector<double> tabs;
  bool operator==(const TextRun&) const = default;
};

/// Everything the report shows besides rows and result.
struct ReportInput {
  std::string root;    // this destination's project folder
  std::string cam;     // camera label
  std::string camera;  // identified camera, may be empty
  int copiesRequired = 2;
  std::map<std::string, std::string> info;  // project, date, src, card, volume, dests
  std::optional<std::string> operatorName;
  std::time_t now = 0;
};

Rgb verdictColour(CardColor c);
std::string verdictText(const IngestResult& result, int copiesRequired);

/// text as it is when fits(text); else as many of its first and last characters as fit around
/// one "…" in the middle (a character being a grapheme cluster, never cut apart).
std::string shortenToFit(const std::string& text,
                         const std::function<bool(const std::string&)>& fits);

/// Valid UTF-8 with control characters turned into spaces: a file name may carry any bytes, and
/// a stray tab or line feed would break the table.
std::string printable(const std::string& s);

/// The clip list's line of a file whose copy here has hash ("—" when it has none).
TextRun clipLine(const Row& r, const std::optional<std::string>& hash);

/// The whole document text, block by block.
std::vector<TextRun> reportText(const std::vector<Row>& rows, const IngestResult& result,
                                const ReportInput& in, Store& store);

/// project · cam · N쪽
std::string footerText(const ReportInput& in, int page);

}  // namespace tolverdine
