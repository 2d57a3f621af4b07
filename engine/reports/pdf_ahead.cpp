#include "engine/reports/pdf_ahead.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <system_error>

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
  // Where the table ends before the run writes its first row: the thread reads on from there.
  std::shared_ptr<Store> store = openStoreAt(dbPath, IfMissing::leave).store;
  if (!store) return;
  const int64_t after = store->lastCopyRow();
  try {
    done_ = std::async(std::launch::async, [this, store, after, root] {
      try {
        run(*store, after, root);
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

void PdfAhead::run(Store& store, int64_t after, const std::string& root) {
  layouts_.emplace();
  // Each round reads only the rows written since the round before. A row only changed (a copy
  // made again on a drive that held it) is laid out when the document is drawn.
  while (!copied_.waitFor(every_)) {
    std::vector<TextRun> lines;
    for (const auto& e : store.verifiedAfter(root, after)) {
      after = std::max(after, e.rowid);
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
  }
}

}  // namespace tolverdine
