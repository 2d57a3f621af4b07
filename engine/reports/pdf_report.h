// The printable A4 report of one ingest run on one destination: verdict, facts, destinations,
// failures, clip list, signature and checklist lines.
#pragma once

#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/records.h"
#include "engine/reports/pdf_text.h"
#include "os/fs.h"

namespace tolverdine {

class Store;
struct NameSet;

class PdfLayouts;

/// What the reports of one run share: the paragraphs laid out during the copy, when there are;
/// and the last document drawn with what it was drawn from, whose bytes a report that reads the
/// same (a further destination, or the document drawn ahead as the run was expected to end)
/// takes instead of being drawn again.
struct PdfMemo {
  PdfLayouts* ahead = nullptr;
  std::vector<TextRun> runs;
  std::string footer;
  std::optional<std::string> logo;
  std::string bytes;
  std::optional<std::time_t> at;  // the time a document drawn ahead shows: the report's time
};

/// The report's bytes as drawn for in: memo's when they were drawn from the same text, footer and
/// logo, else drawn now (with memo's paragraphs laid out ahead) and kept in memo. Absent when the
/// document cannot be drawn.
std::optional<std::string> drawReport(const std::vector<Row>& rows, const IngestResult& result,
                                      const ReportInput& in, Store& store,
                                      const std::optional<std::string>& logo, PdfMemo* memo);

/// Writes root/reports/cam_STAMP_ingest.pdf (STAMP local yyyyMMdd-HHmmss; STAMP-2 … where an
/// earlier run left one of that second) through a temporary file and a rename, so a reader never
/// sees half a document. info: project, date, src, card,
/// volume, dests (destination roots, one per line). Throws WriteFail:
/// EIO with the reports folder when the document cannot be drawn, else the failure of the write.
void writePDFReport(const std::string& root, const std::vector<Row>& rows,
                    const IngestResult& result, const std::string& cam, const std::string& camera,
                    Store& store, int copiesRequired, const NameSet& names,
                    const std::map<std::string, std::string>& info,
                    const std::optional<std::string>& logo,
                    const std::optional<std::string>& operatorName,
                    std::time_t now = std::time(nullptr), PdfMemo* memo = nullptr,
                    Fs& fs = realFs());

}  // namespace tolverdine
