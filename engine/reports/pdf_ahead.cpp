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
    : all_(rows), cam_(cam), root_(root), every_(every) {
  for (const auto& r : rows) {
    if (r.kind == Kind::etc) continue;  // no line of its own
    byKey_.emplace(ingestKey(cam, r), rows_.size());
    rows_.push_back(r);
  }
  laid_.assign(rows_.size(), false);
  std::shared_ptr<Store> store = openStoreAt(dbPath, IfMissing::leave).store;
  if (!store) return;
  try {
    done_ = std::async(std::launch::async, [this, store] {
      try {
        run();
      } catch (const std::exception&) {
        // Out of memory, most likely: the document is laid out as it is drawn, as without this.
        layouts_.reset();
      }
      copied_.wait();  // whatever ended the rounds: expected_ is set, if at all, by now
      try {
        drawExpected(*store);
      } catch (const std::exception&) {
        drawn_ = {};  // drawn after the copy instead
      }
    });
  } catch (const std::system_error&) {  // no thread: the PDF is laid out as it is drawn
  }
}

PdfAhead::~PdfAhead() {
  copied_.raise();
  if (done_.valid()) done_.wait();
}

void PdfAhead::verified(const Row& r, const std::string& dest, const std::string& hash) {
  // Nothing more is taken once the thread keeps no more lines.
  if (dest != root_ || !done_.valid() || laidOut_ >= PdfLayouts::kMaxKept) return;
  auto it = byKey_.find(ingestKey(cam_, r));
  if (it == byKey_.end()) return;
  std::lock_guard lk(m_);
  handed_.emplace_back(it->second, hash);
}

void PdfAhead::draw(IngestResult expected, ReportInput in, std::optional<std::string> logo) {
  if (!done_.valid() || copied_.raised()) return;
  expected_.emplace(Expected{std::move(expected), std::move(in), std::move(logo)});
  copied_.raise();
}

PdfMemo PdfAhead::memo() {
  copied_.raise();
  if (!done_.valid()) return {};
  done_.get();
  PdfMemo m = std::move(drawn_);
  m.ahead = layouts_ ? &*layouts_ : nullptr;
  return m;
}

void PdfAhead::drawExpected(Store& store) {
  if (!expected_) return;
  const Expected& e = *expected_;
  PdfMemo drawn;
  drawn.ahead = layouts_ ? &*layouts_ : nullptr;
  if (!drawReport(all_, e.result, e.in, store, e.logo, &drawn)) return;
  drawn.at = e.in.now;
  drawn_ = std::move(drawn);
}

void PdfAhead::run() {
  layouts_.emplace();
  while (!copied_.waitFor(every_)) {
    std::vector<std::pair<size_t, std::string>> handed;
    {
      std::lock_guard lk(m_);
      handed.swap(handed_);
    }
    std::vector<TextRun> lines;
    for (const auto& [i, hash] : handed) {
      if (laid_[i]) continue;  // a copy made again: laid out when the document is drawn
      laid_[i] = true;
      lines.push_back(clipLine(rows_[i], hash));
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
