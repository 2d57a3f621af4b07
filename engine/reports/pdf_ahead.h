// The clip lines of a card's PDF laid out while the card is copied: the run hands over each copy
// it verifies on one destination, and a thread of its own lays out their lines a few times a
// second. Once the copies are recorded it draws the whole document as the run is expected to end,
// while the run's final count goes on; the report takes those bytes only where its own text reads
// the same.
#pragma once

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
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
  /// Lays out, every `every`, the lines of the rows (camera cam) handed over as verified on root;
  /// draws from the database at dbPath. Without a thread it does nothing. rows outlive it.
  PdfAhead(const std::string& dbPath, const std::vector<Row>& rows, const std::string& cam,
           const std::string& root,
           std::chrono::milliseconds every = std::chrono::milliseconds(100));
  ~PdfAhead();
  PdfAhead(const PdfAhead&) = delete;
  PdfAhead& operator=(const PdfAhead&) = delete;

  /// A copy of r with hash was verified on dest (IngestHooks::verified), from any thread.
  void verified(const Row& r, const std::string& dest, const std::string& hash);
  /// The copies are recorded: the thread stops laying out lines and draws the document of root as
  /// it reads for expected (the run's result before its final count, as that count would leave
  /// it), with in and logo as the report will have them.
  void draw(IngestResult expected, ReportInput in, std::optional<std::string> logo);
  /// The copy is over: the thread stops, and what it laid out and drew is handed over.
  PdfMemo memo();
  /// How many lines are laid out so far, asked from any thread.
  size_t laidOut() const { return laidOut_; }

 private:
  void run();
  void drawExpected(Store& store);

  const std::vector<Row>& all_;
  const std::string cam_, root_;
  std::mutex m_;
  std::vector<std::pair<size_t, std::string>> handed_;  // row and hash, not laid out yet
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
