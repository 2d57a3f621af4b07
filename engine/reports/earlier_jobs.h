// Cards copied before this run of the application, as the reports folders of the destinations'
// project folders keep them: one job summary and clip list per run and destination. Their
// report is rebuilt from the clip list, with each clip's key and current place from the database.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "engine/library/report_clips.h"

namespace tolverdine {

class Store;

struct EarlierJob {
  std::string key;  // "earlier:" + the first destination's clip list path
  std::string cam, src, color, project;
  std::time_t at = 0;  // when the run wrote its reports
  int files = 0;
  std::vector<std::string>
      roots;  // project folders that hold this run's reports, first: the clip list read
  std::vector<std::string> failed;  // "dest: why" of the run's failures, once per destination
  std::string csv;                  // the clip list of the first root
  std::string name() const;         // the card's folder name
};

/// Runs of project found in dests/<date>_<project>/<reports> (each of reportsNames: a project may
/// have changed its folder names), newest first, at most limit; a run written to several
/// destinations (same camera, card and project, within a minute) is listed once. Unreadable or
/// foreign files are passed over.
std::vector<EarlierJob> earlierJobs(const std::vector<std::string>& dests,
                                    const std::string& project,
                                    const std::vector<std::string>& reportsNames, size_t limit);

/// The report behind an earlier run: the clip list's rows, each with the key, place and class the
/// database holds now on the first root (a clip moved since is found where it is). Absent when
/// the clip list cannot be read.
std::optional<LastJob> earlierReport(const EarlierJob& job, Store& store);

/// Records of a CSV text (quoted fields may hold commas, quotes and line breaks); a leading
/// byte order mark is dropped.
std::vector<std::vector<std::string>> parseCsv(const std::string& text);

}  // namespace tolverdine
