#include "engine/copy/read_ahead.h"

#include <algorithm>

#include "engine/copy/copy_group.h"

namespace tolverdine {

ReadAhead::ReadAhead(const std::vector<Row>& rows, int64_t maxSize, int64_t bytes, size_t files,
                     Fs& fs)
    : rows_(rows), maxSize_(maxSize), bytes_(bytes), files_(files), fs_(fs) {
  upTo_.assign(rows.size() + 1, 0);
  for (size_t i = 0; i < rows.size(); ++i) upTo_[i + 1] = upTo_[i] + (wanted(i) ? rows[i].size : 0);
  thread_ = std::thread([this] { run(); });
}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard lk(m_);
    stop_ = true;
  }
  cv_.notify_one();
  thread_.join();
}

bool ReadAhead::wanted(size_t i) const { return rows_[i].dest && rows_[i].size <= maxSize_; }

void ReadAhead::at(size_t i) {
  bool wake;
  {
    std::lock_guard lk(m_);
    if (i + 1 < from_) return;
    from_ = i + 1;
    wake = waiting_ && low();
  }
  if (wake) cv_.notify_one();
}

bool ReadAhead::room() {
  next_ = std::max(next_, from_);
  return next_ < rows_.size() && next_ < from_ + files_ &&
         upTo_[next_ + 1] - upTo_[from_] <= bytes_;
}

bool ReadAhead::low() {
  const size_t n = std::max(next_, from_);
  return n < rows_.size() && n < from_ + files_ / 2 && upTo_[n] - upTo_[from_] <= bytes_ / 2;
}

void ReadAhead::run() {
  std::unique_lock lk(m_);
  while (!stop_) {
    if (room()) {
      const size_t i = next_++;
      if (!wanted(i)) continue;
      lk.unlock();
      prefetch(rows_[i].src, fs_);
      lk.lock();
      continue;
    }
    // Full: woken again once half of it was copied, not at every file (each wake-up would take
    // the copying thread's core for a moment).
    waiting_ = true;
    cv_.wait(lk, [&] { return stop_ || low(); });
    waiting_ = false;
  }
}

}  // namespace tolverdine
