#include "engine/copy/byte_meter.h"

#include <algorithm>

namespace tolverdine {

void ByteMeter::begin(const void* row, size_t dests) {
  if (!fn_) return;
  std::lock_guard lk(m_);
  Flight& f = flights_[row];
  leave(f);
  f.read = 0;
  f.back.assign(dests, 0);
  f.least = 0;
}

void ByteMeter::leave(Flight& f) {
  readInFlight_ -= f.read;
  backInFlight_ -= f.least;
}

void ByteMeter::read(const void* row, int64_t n) {
  if (!fn_) return;
  std::lock_guard lk(m_);
  flights_[row].read += n;
  readInFlight_ += n;
  report();
}

void ByteMeter::back(const void* row, size_t dest, int64_t n) {
  if (!fn_) return;
  std::lock_guard lk(m_);
  Flight& f = flights_[row];
  if (dest >= f.back.size()) f.back.resize(dest + 1, 0);
  f.back[dest] += n;
  const int64_t least = *std::min_element(f.back.begin(), f.back.end());
  backInFlight_ += least - f.least;
  f.least = least;
  report();
}

void ByteMeter::done(const void* row, int64_t size) {
  if (!fn_) return;
  std::lock_guard lk(m_);
  if (auto it = flights_.find(row); it != flights_.end()) {
    leave(it->second);
    flights_.erase(it);
  }
  handled_ += size;
  report();
}

void ByteMeter::report() {
  const int64_t copied = handled_ + readInFlight_, verified = handled_ + backInFlight_;
  last_.copied = std::min(total_, std::max(last_.copied, copied));
  last_.verified = std::min(last_.copied, std::max(last_.verified, verified));
  last_.total = total_;
  fn_(last_);
}

}  // namespace tolverdine
