#include "app/rate_meter.h"

#include <gtest/gtest.h>

namespace tolverdine {
namespace {

using namespace std::chrono_literals;

TEST(RateMeter, FollowsTheRecentSpeedAndStartsOverOnANewRun) {
  RateMeter m(5s);
  auto t = RateMeter::Clock::time_point{} + 100s;
  m.sample(0, t);
  EXPECT_FALSE(m.rate());
  m.sample(10'000'000, t + 100ms);
  EXPECT_FALSE(m.rate()) << "too short a span to say";
  // 100 MB/s for 10 s.
  for (int i = 1; i <= 10; ++i) m.sample(int64_t{i} * 100'000'000, t + i * 1s);
  ASSERT_TRUE(m.rate());
  EXPECT_NEAR(*m.rate(), 100e6, 1e6);
  EXPECT_EQ(m.secondsLeft(1'050'000'000), 1) << "rounded up";
  EXPECT_EQ(m.secondsLeft(500'000'000), 0) << "nothing left";
  // Then 10 MB/s: after one window the old speed no longer counts.
  for (int i = 1; i <= 6; ++i) m.sample(1'000'000'000 + int64_t{i} * 10'000'000, t + 10s + i * 1s);
  EXPECT_NEAR(*m.rate(), 10e6, 1e6);
  EXPECT_EQ(m.secondsLeft(1'060'000'000 + 100'000'000), 10);
  // A new run of the same card.
  m.sample(0, t + 20s);
  EXPECT_FALSE(m.rate());
  EXPECT_FALSE(m.secondsLeft(100));
}

}  // namespace
}  // namespace tolverdine
