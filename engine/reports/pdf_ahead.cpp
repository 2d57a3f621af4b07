#include "engine/reports/pdf_ahead.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <system_error>

#include "engine/base/text.h"
#include "engine/reports/pdf_text.h"
#include "engine/store/store_open.h"

namespace tolverdine {

PdfAhead::PdfAhead(const std::string& dbPath, const std::vector<Row>& rows, const std::string& cam,
                   const std::string& root, std::chrono::milliseconds every)
    : every_(every) {
  for (const auto& r : rows) {
    if (r.kind == Kind::etc) continue;  // no line of its own
    byKey_.emplace(ingestKey(cam, r), rows_.size());
    rows_.push_back(r);
  }
  laid_.assign(rows_.size(), false);
  try {
    done_ = std::async(std::launch::async, [this, dbPath, root] {
      try {
        run(dbPath, root);
      } catch (const std::exception&) {
        // Out of memory, most likely: the document is laid out as it is drawn, as without this.
        layouts_.reset();
      }
    });
  } catch (const std::system_error&) {  // no thread: the PDF is laid out as it is drawn
  }
}

PdfAhead::~PdfAhead() {
  copied_.raise();
  if (done_.valid()) done_.wait();
}

PdfLayouts* PdfAhead::layouts() {
  copied_.raise();
  if (!done_.valid()) return nullptr;
  done_.get();
  return layouts_ ? &*layouts_ : nullptr;
}

void PdfAhead::run(const std::string& dbPath, const std::string& root) {
  OpenedStore store = openStoreAt(dbPath, IfMissing::leave);
  if (!store) return;
  layouts_.emplace();
  // Rows are committed about a second after they are recorded, and `at` counts whole seconds:
  // each round reads back that far, and passes over the lines it has laid out. A row committed
  // later still is only laid out when the document is drawn.
  constexpr std::time_t kOverlap = 2;
  std::time_t since = std::time(nullptr) - kOverlap;
  while (!copied_.waitFor(every_)) {
    const std::time_t next = std::time(nullptr) - kOverlap;
    std::vector<TextRun> lines;
    for (const auto& e : store->verifiedSince(root, isoTime(since))) {
      auto it = byKey_.find(e.key);
      if (it == byKey_.end() || laid_[it->second] || !e.hash) continue;
      laid_[it->second] = true;
      lines.push_back(clipLine(rows_[it->second], e.hash));
    }
    // A few lines at a time: the end of the copy does not wait for a whole round.
    constexpr size_t kChunk = 64;
    for (size_t at = 0; at < lines.size(); at += kChunk) {
      if (copied_.raised()) return;
      const size_t end = std::min(lines.size(), at + kChunk);
      layouts_->prepare(std::vector<TextRun>(lines.begin() + at, lines.begin() + end));
      laidOut_ = layouts_->size();
    }
    if (layouts_->size() >= PdfLayouts::kMaxKept) return;
    since = next;
  }
}

}  // namespace tolverdine
