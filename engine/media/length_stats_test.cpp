#include "engine/media/length_stats.h"

#include <gtest/gtest.h>

namespace tolverdine {
namespace {

std::vector<int> counts(const LengthStats& s) {
  std::vector<int> c;
  for (auto& b : s.buckets) c.push_back(b.second);
  return c;
}

TEST(LengthStats, BucketsMedianP90AndOnlyVideosWithDurations) {
  auto s = lengthStatsOf({700, 3, 45});
  EXPECT_EQ(counts(s), (std::vector<int>{1, 0, 1, 0, 0, 0, 1, 0}));
  EXPECT_EQ(s.median, 45);
  EXPECT_EQ(s.p90, 700);
  // Upper bounds are inclusive.
  EXPECT_EQ(counts(lengthStatsOf({5, 30, 1200, 1200.5})),
            (std::vector<int>{1, 1, 0, 0, 0, 0, 1, 1}));

  EXPECT_EQ(lengthStatsOf({}).count, 0);

  int probed = 0;
  ProbeFn fake = [&](const std::string& p) {
    ++probed;
    Meta m;
    if (p.find("nodur") == std::string::npos) m.dur = 10;
    return m;
  };
  auto cs = lengthStats({"/c/A.MP4", "/c/b.mov", "/c/nodur.mxf", "/c/x.jpg", "/c/.mp4", "/c/noext"},
                        fake);
  EXPECT_EQ(probed, 3);
  EXPECT_EQ(cs.count, 2);
  EXPECT_EQ(counts(cs), (std::vector<int>{0, 2, 0, 0, 0, 0, 0, 0}));  // both 10 s clips
}

}  // namespace
}  // namespace tolverdine
