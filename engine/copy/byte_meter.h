// Live byte counts of an ingest run, fed from the reading and read-back threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "engine/copy/ingest.h"

namespace tolverdine {

/// copied = bytes of the rows handled + bytes read from the card for the rows in flight;
/// verified = bytes of the rows handled + for each row in flight the least read back on any of
/// its destinations (a file read back from several destinations counts once). Both only grow
/// and never pass the total. Every call reports; all of them are cheap without a receiver.
class ByteMeter {
 public:
  ByteMeter(const BytesFn& fn, int64_t total) : fn_(fn), total_(total) {}

  /// The row's copy round starts on `dests` destinations (again, after a failed round).
  void begin(const void* row, size_t dests);
  void read(const void* row, int64_t n);
  void back(const void* row, size_t dest, int64_t n);
  /// The row is handled (copied, skipped or failed): its whole size counts.
  void done(const void* row, int64_t size);

 private:
  struct Flight {
    int64_t read = 0;
    std::vector<int64_t> back;
    int64_t least = 0;  // the least of back
  };
  void leave(Flight& f);  // takes f's bytes out of the sums
  void report();          // with m_ held

  const BytesFn& fn_;
  const int64_t total_;
  std::mutex m_;
  // Kept as sums, so that a report costs the same with hundreds of rows in flight as with one.
  std::unordered_map<const void*, Flight> flights_;
  int64_t handled_ = 0, readInFlight_ = 0, backInFlight_ = 0;
  ByteProgress last_;
};

}  // namespace tolverdine
