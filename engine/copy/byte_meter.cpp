#include "engine/copy/byte_meter.h"

#include <algorithm>

namespace tolverdine {

void ByteMeter::begin(const void* row, size_t dests) {
  if (!fn_) return;
  std::lock_guard lk(m_);
  Flight& f = flights_[row];
  f.read = 0;
  f.back.assign(dests, 0);
}

void ByteMeter::read(const void* row, int64_t n) {
  if (!fn_) return;
  std::lock_guard lk(m_);
  flights_[row].read += n;
  report();
}

void ByteMeter::back(const void* row, size_t dest, int64_t n) {
  if (!fn_) return;
  std::lock_guard lk(m_);
  Flight& f = flights_[row];
  if (dest >= f.back.size()) f.back.resize(dest + 1, 0);
  f.back[dest] += n;
  report();
}

void ByteMeter::done(const void* row, int64_t size) {
  if (!fn_) return;
  std::lock_guard lk(m_);
  flights_.erase(row);
  handled_ += size;
  report();
}

void ByteMeter::report() {
  int64_t copied = handled_, verified = handled_;
  for (const auto& [row, f] : flights_) {
    copied += f.read;
    if (!f.back.empty()) verified += *std::min_element(f.back.begin(), f.back.end());
  }
  last_.copied = std::min(total_, std::max(last_.copied, copied));
  last_.verified = std::min(last_.copied, std::max(last_.verified, verified));
  last_.total = total_;
  fn_(last_);
}

}  // namespace tolverdine
