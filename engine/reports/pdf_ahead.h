// The clip lines of a card's PDF laid out while the card is copied: a thread of its own reads,
// four times a second, the copies the run has verified on one destination, on a connection of its
// own, and lays out their lines. Once the copies are recorded it draws the whole document as the
// run is expected to end, while the run's final count goes on; the report takes those bytes only
// where its own text reads the same.
#pragma once

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/base/records.h"
#include "engine/base/stop_flag.h"
#include "engine/reports/pdf_render.h"
#include "engine/reports/pdf_report.h"

namespace tolverdine {

class Store;

class PdfAhead {
 public:
  /// Follows the copies of rows (camera cam) verified on root, as recorded in the database at
  /// dbPath, every `every`. Without a thread it does nothing. rows outlive it.
  PdfAhead(const std::string& dbPath, const std::vector<Row>& rows, const std::string& cam,
           const std::string& root,
           std::chrono::milliseconds every = std::chrono::milliseconds(250));
  ~PdfAhead();
  PdfAhead(const PdfAhead&) = delete;
  PdfAhead& operator=(const PdfAhead&) = delete;

  /// The copies are recorded: the thread stops laying out lines and draws the document of root as
  /// it reads for expected (the run's result before its final count, as that count would leave
  /// it), with in and logo as the report will have them.
  void draw(IngestResult expected, ReportInput in, std::optional<std::string> logo);
  /// The copy is over: the thread stops, and what it laid out and drew is handed over.
  PdfMemo memo();
  /// How many lines are laid out so far, asked from any thread.
  size_t laidOut() const { return laidOut_; }

 private:
  void run(Store& store, int64_t after, const std::string& root);
  void drawExpected(Store& store);

  const std::vector<Row>& all_;
  std::vector<Row> rows_;  // the files with a clip line; by key, their index
  std::unordered_map<std::string, size_t> byKey_;
  std::vector<bool> laid_;
  std::optional<PdfLayouts> layouts_;  // made on the thread: finding the fonts takes a while
  std::atomic<size_t> laidOut_{0};
  struct Expected {
    IngestResult result;
    ReportInput in;
    std::optional<std::string> logo;
  };
  std::optional<Expected> expected_;  // set before copied_ is raised, read after
  PdfMemo drawn_;

  const std::chrono::milliseconds every_;
  StopFlag copied_;
  std::future<void> done_;  // last: its thread is gone before the rest
};

}  // namespace tolverdine
