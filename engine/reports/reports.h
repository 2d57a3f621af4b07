// The two machine-readable reports of one ingest run on one destination: the clip list (CSV)
// and the job summary (JSON), both in the project's reports folder.
#pragma once

#include <ctime>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "engine/base/records.h"
#include "os/fs.h"

namespace tolverdine {

class Store;
struct NameSet;

/// Writes cam_STAMP_clips.csv, then cam_STAMP_job.json (STAMP local yyyyMMdd-HHmmss) into
/// root/reports; where an earlier run of the camera left reports of that second, STAMP-2, STAMP-3 …
/// A failed write leaves no part of its file. Throws WriteFail; a failed CSV leaves no JSON.
/// counted: see clipsCsv.
void writeReports(const std::string& root, const std::vector<Row>& rows, const IngestResult& result,
                  const std::string& cam, const std::string& src, Store& store,
                  const NameSet& names, const std::map<std::string, std::string>& info,
                  std::time_t now = std::time(nullptr), Fs& fs = realFs(),
                  const std::vector<int>* counted = nullptr);

/// stem, else stem-2, stem-3 …: the first for which dir holds no name stem + tail for any tail.
/// Called under dir's FolderLock, so that a name found free stays free until it is written.
std::string freeReportStem(const std::string& dir, const std::string& stem,
                           std::initializer_list<const char*> tails, Fs& fs = realFs());

/// Shortest text that reads back as the same double, with ".0" on whole numbers (29.97, 25.0).
std::string shortestDecimal(double v);

/// A CSV field: quoted, with doubled quotes, when it holds a comma, a quote or a line break.
std::string csvField(const std::string& v);

/// Each row's hash on dest: that of the copy this run verified there, else the store's verified
/// row's (absent where there is none).
std::vector<std::optional<std::string>> hashesOn(const std::string& dest,
                                                 const std::vector<Row>& rows,
                                                 const IngestResult& result, const std::string& cam,
                                                 Store& store);

/// The clip list's text (with byte order mark); hashes as hashesOn gives them. counted, when it
/// holds a count per row, gives each row's verified copies (the counts the colour was given on);
/// else each row's copies are counted here.
std::string clipsCsv(const std::string& root, const std::vector<Row>& rows,
                     const IngestResult& result, const std::string& cam, Store& store,
                     const std::vector<int>* counted = nullptr);

/// The job summary's text: info, then the run's fields; keys sorted, "/" not escaped.
std::string jobJson(const std::string& root, const std::vector<Row>& rows,
                    const IngestResult& result, const std::string& cam, const std::string& src,
                    const std::map<std::string, std::string>& info, std::time_t now);

}  // namespace tolverdine
