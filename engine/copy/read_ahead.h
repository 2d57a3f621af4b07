// The card files ahead of the one being copied, asked of the kernel on a thread of its own, so
// that the card is never idle while the copying thread writes, names or hands over files.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/base/records.h"
#include "os/fs.h"

namespace tolverdine {

class ReadAhead {
 public:
  /// Asks for the rows of at most maxSize bytes that are copied (dest set), at most `bytes` and
  /// `files` of them beyond the copying thread's place, from the first row until at() is called.
  ReadAhead(const std::vector<Row>& rows, int64_t maxSize, int64_t bytes, size_t files, Fs& fs);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  /// The copying thread is at row i (an index into rows); the rows after it are asked for.
  void at(size_t i);

 private:
  void run();
  bool wanted(size_t i) const;
  bool room();  // another row may be asked for (holding m_)
  bool low();   // half of what was asked for is copied (holding m_)

  const std::vector<Row>& rows_;
  const int64_t maxSize_, bytes_;
  const size_t files_;
  Fs& fs_;
  std::vector<int64_t> upTo_;  // bytes wanted before each row
  std::mutex m_;
  std::condition_variable cv_;
  size_t from_ = 0;  // the first row the copying thread has not taken yet
  size_t next_ = 0;  // the next row to ask for
  bool stop_ = false;
  bool waiting_ = false;  // the thread sleeps until low()
  std::thread thread_;    // last: started once the rest is set
};

}  // namespace tolverdine
