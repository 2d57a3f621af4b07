#include "engine/copy/byte_meter.h"

#include <gtest/gtest.h>

#include <utility>

namespace tolverdine {

// Two rows in flight on two destinations; one fails its first round and starts again.
TEST(ByteMeter, CountsTheRowsInFlightAndNeverGoesBack) {
  ByteProgress last;
  BytesFn fn = [&](const ByteProgress& b) { last = b; };
  ByteMeter m(fn, 1000);
  const int a = 0, b = 0, c = 0;
  auto now = [&] { return std::pair(last.copied, last.verified); };
  m.begin(&a, 2);
  m.begin(&b, 2);
  m.read(&a, 300);
  m.read(&b, 200);
  EXPECT_EQ(now(), std::pair(int64_t{500}, int64_t{0}));
  m.back(&a, 0, 300);
  EXPECT_EQ(now(), std::pair(int64_t{500}, int64_t{0}));  // a's second copy is not read yet
  m.back(&a, 1, 100);
  m.back(&b, 1, 200);
  m.back(&b, 0, 150);
  EXPECT_EQ(now(), std::pair(int64_t{500}, int64_t{250}));  // 100 of a, 150 of b
  // a's round failed: its bytes leave the sums, but what was shown stays until passed.
  m.begin(&a, 1);
  m.read(&a, 100);
  EXPECT_EQ(now(), std::pair(int64_t{500}, int64_t{250}));
  m.read(&a, 250);
  m.back(&a, 0, 350);
  EXPECT_EQ(now(), std::pair(int64_t{550}, int64_t{500}));  // 350 + 200; 350 + 150
  m.done(&a, 350);
  m.done(&b, 200);
  EXPECT_EQ(now(), std::pair(int64_t{550}, int64_t{550}));
  m.done(&c, 450);  // a row never begun (skipped) counts whole
  EXPECT_EQ(now(), std::pair(int64_t{1000}, int64_t{1000}));
  EXPECT_EQ(last.total, 1000);
}

}  // namespace tolverdine
