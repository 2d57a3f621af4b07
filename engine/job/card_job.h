// One card from plan to reports: scan, sessions, paths, shoot date and roots; after the run the
// hash lists and reports on every destination that is still there, and the one-line summary.
// The command line and the application share it, so both plan and report a card the same way.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/names.h"
#include "engine/base/records.h"
#include "engine/card/camera_role.h"
#include "engine/card/listing_error.h"
#include "engine/copy/ingest.h"
#include "engine/copy/storage.h"
#include "engine/layout/rules.h"
#include "engine/media/probe.h"

namespace tolverdine {

class Fs;
class Store;
class PdfAhead;

struct CardJob {
  std::string card;  // card root
  std::string cam;   // camera label, "A캠"
  std::string project;
  std::vector<std::string> destinations;  // folders the project folder is made in, in order
  NameSet names = NameSet::ko();
  std::vector<Rule> rules;
  std::optional<std::string> model;  // camera model name for the rules
  CameraRole role = CameraRole::none;
  std::string preset = "default";
  int copies = 2;           // verified copies a file needs
  std::string cameraLabel;  // "Sony FX3", for the printed report; may be empty
  std::optional<std::string> operatorName;
  std::optional<std::string> logo;           // image file for the printed report
  StorageMode storage = StorageMode::split;  // as configured; the plan holds the resolved mode
  Fs* fs = nullptr;  // where the hash lists and reports are written; null: the real file system
};

struct CardPlan {
  std::vector<Row> rows;
  std::string date;                          // shooting date "yyyyMMdd"
  std::vector<std::string> roots;            // one project folder per destination
  std::vector<ListingError> errors;          // folders of the card that could not be read
  StorageMode storage = StorageMode::split;  // split or mirror, decided once at start
  std::vector<std::string> notes;            // placement notes for the log and the job summary file
  std::vector<std::string> warnings;         // said before the copy: destinations sharing a drive
};

/// Scans the card, groups sessions, places every row and names the project folder after the
/// first shooting date (today when the card tells none).
CardPlan planCard(const CardJob& job, const ProbeFn& probe);

/// In mirror storage first the classified view of every root not lost; then writes the hash list
/// generation, the clip list / job summary and the printed report on every root not lost. Failures
/// do not stop the others; each is returned as a line for the log. ahead: what was laid out and
/// drawn during the copy, if anything; a document drawn ahead sets the report's time.
std::vector<std::string> writeCardOutputs(const CardJob& job, const CardPlan& plan,
                                          const IngestResult& result, Store& store,
                                          const std::optional<std::string>& volume,
                                          PdfAhead* ahead = nullptr);

/// The hooks by which the run of plan hands its copies to pdf and, once they are recorded, has the
/// report drawn as the run is expected to end while its final count goes on.
IngestHooks drawingAhead(PdfAhead& pdf, const CardJob& job, const CardPlan& plan,
                         const std::optional<std::string>& volume);

/// "복사 3 · 기존 0 — 검증 사본 2곳 이상, 카메라에서 포맷하세요" and its kin.
std::string jobSummary(const IngestResult& result, int copies);

}  // namespace tolverdine
