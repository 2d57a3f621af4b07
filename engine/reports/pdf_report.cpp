#include "engine/reports/pdf_report.h"

#include <cerrno>

#include "engine/base/files.h"
#include "engine/base/folder_lock.h"
#include "engine/base/names.h"
#include "engine/base/text.h"
#include "engine/reports/pdf_render.h"
#include "engine/reports/pdf_text.h"
#include "engine/reports/reports.h"

namespace tolverdine {

std::optional<std::string> drawReport(const std::vector<Row>& rows, const IngestResult& result,
                                      const ReportInput& in, Store& store,
                                      const std::optional<std::string>& logo, PdfMemo* memo) {
  auto runs = reportText(rows, result, in, store);
  std::string footer = footerText(in, 0);
  if (memo && !memo->bytes.empty() && memo->runs == runs && memo->footer == footer &&
      memo->logo == logo)
    return memo->bytes;
  std::optional<std::string> pdf = renderPdf(
      runs, [&](int page) { return footerText(in, page); }, logo, memo ? memo->ahead : nullptr);
  if (pdf && memo)
    *memo = PdfMemo{memo->ahead, std::move(runs), std::move(footer), logo, *pdf, std::nullopt};
  return pdf;
}

void writePDFReport(const std::string& root, const std::vector<Row>& rows,
                    const IngestResult& result, const std::string& cam, const std::string& camera,
                    Store& store, int copiesRequired, const NameSet& names,
                    const std::map<std::string, std::string>& info,
                    const std::optional<std::string>& logo,
                    const std::optional<std::string>& operatorName, std::time_t now, PdfMemo* memo,
                    Fs& fs) {
  const std::string dir = nfc(root + "/" + names.reports);
  const std::optional<std::string> pdf =
      drawReport(rows, result, {root, cam, camera, copiesRequired, info, operatorName, now}, store,
                 logo, memo);
  if (!pdf) throw WriteFail{dir, EIO};
  mkdirs(dir, fs);
  // An earlier run of the camera in the same second keeps its report: this one takes the next
  // name, chosen and written under the folder's lock so that two runs never choose one name.
  FolderLock lock(dir, fs);
  const std::string stem =
      freeReportStem(dir, nfc(cam + "_" + localTime(now, "%Y%m%d-%H%M%S")), {"_ingest.pdf"}, fs);
  const std::string path = nfc(dir + "/" + stem + "_ingest.pdf");
  try {
    writeFileAtomic(path, *pdf, fs);
  } catch (WriteFail& f) {
    f.path = path;  // the report's own name, not the temporary one that failed
    throw;
  }
}

}  // namespace tolverdine
