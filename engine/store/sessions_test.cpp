#include "engine/store/sessions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "testing/test_util.h"

namespace tolverdine {
namespace {

// Runs each test in Seoul's zone; the machine's zone comes back afterwards.
class Sessions : public ::testing::Test {
 protected:
  ScopedEnv zone{"TZ", "Asia/Seoul"};
  // Seconds since the epoch of a wall-clock time in Seoul (UTC+9, no daylight saving).
  static double seoul(int y, int mo, int d, int h, int mi, int s = 0) {
    std::tm tm{s, mi, h, d, mo - 1, y - 1900, 0, 0, 0, 0, nullptr};  // glibc's order
    return static_cast<double>(timegm(&tm) - 9 * 3600);
  }
  static Row clip(Kind k, double t, double dur, bool span = false) {
    Row r;
    r.kind = k;
    r.meta.t = t;
    r.meta.dur = dur;
    r.span = span;
    return r;
  }
  // The labels sessions() gives the rows.
  static std::vector<std::string> labels(std::vector<Row>& rows) {
    sessions(rows, sessionGap);
    std::vector<std::string> out;
    for (const auto& r : rows) out.push_back(r.session.value_or("-"));
    return out;
  }
};

TEST_F(Sessions, GapsOpenSessionsAndRunningEndNeverShrinks) {
  const Kind v = Kind::video;
  std::vector<Row> rows = {
      clip(v, seoul(2025, 3, 15, 18, 30), 600),  // 18:30-18:40
      clip(v, seoul(2025, 3, 15, 19, 5), 900),   // 25 minutes later: same session, to 19:20
      clip(v, seoul(2025, 3, 15, 19, 50), 60),   // exactly 30 minutes: new session
  };
  EXPECT_EQ(labels(rows), (std::vector<std::string>{"1_1830-1920", "1_1830-1920", "2_1950-1951"}));

  rows[2].meta.t = seoul(2025, 3, 15, 19, 49, 59);
  EXPECT_EQ(labels(rows), (std::vector<std::string>{"1_1830-1950", "1_1830-1950", "1_1830-1950"}));

  // A long clip, a short one inside it, then one 20 minutes after the long one ends; given in
  // reverse card order, numbered by time.
  rows = {
      clip(v, seoul(2025, 3, 15, 21, 20), 60),
      clip(v, seoul(2025, 3, 15, 20, 10), 60),
      clip(v, seoul(2025, 3, 15, 20, 0), 3600),  // to 21:00
      clip(v, seoul(2025, 3, 15, 17, 0), 60),
  };
  EXPECT_EQ(labels(rows),
            (std::vector<std::string>{"2_2000-2121", "2_2000-2121", "2_2000-2121", "1_1700-1701"}));
}

TEST_F(Sessions, KindsNumberedApartSpansFollowTheirClipMidnightWraps) {
  std::vector<Row> rows = {
      clip(Kind::photo, seoul(2025, 3, 15, 18, 35), 0),
      clip(Kind::video, seoul(2025, 3, 15, 23, 30), 1800),
      clip(Kind::video, seoul(2025, 3, 16, 0, 0), 1200, true),  // continuations
      clip(Kind::audio, seoul(2025, 3, 15, 23, 30), 100),
      clip(Kind::video, 0, 600, true),
      clip(Kind::etc, seoul(2025, 3, 15, 23, 30), 0),
      clip(Kind::video, seoul(2025, 3, 15, 18, 30), 60),
  };
  rows[4].meta.t = seoul(2025, 3, 16, 0, 20);
  // The split recording: 23:30 + 30 min, then 20 and 10 more minutes (audio in between in the
  // card does not break the chain of videos).
  EXPECT_EQ(labels(rows), (std::vector<std::string>{"1_1835-1835", "2_2330-0030", "2_2330-0030",
                                                    "-", "2_2330-0030", "-", "1_1830-1831"}));

  // A continuation with nothing before it joins no session and keeps its label.
  std::vector<Row> orphan = {clip(Kind::video, seoul(2025, 3, 15, 10, 0), 60, true)};
  orphan[0].session = "old";
  EXPECT_EQ(labels(orphan), std::vector<std::string>{"old"});
}

TEST_F(Sessions, ShootDatesBeginAtFourInTheMorning) {
  std::vector<Row> rows = {
      clip(Kind::video, seoul(2025, 3, 15, 4, 0), 10),
      clip(Kind::video, seoul(2025, 3, 15, 2, 30), 10),
      clip(Kind::video, seoul(2025, 3, 15, 12, 0), 10),
      clip(Kind::audio, seoul(2025, 1, 1, 12, 0), 10),
  };
  EXPECT_EQ(shootDates(rows, dayBoundaryHours), (std::vector<std::string>{"20250314", "20250315"}));

  // Times taken from file dates decide nothing for video, but photos count with theirs.
  std::vector<Row> mtimes = {clip(Kind::video, seoul(2025, 3, 15, 12, 0), 10)};
  mtimes[0].tFromMtime = true;
  EXPECT_TRUE(shootDates(mtimes, dayBoundaryHours).empty());
  mtimes.push_back(clip(Kind::photo, seoul(2025, 2, 1, 12, 0), 0));
  mtimes.push_back(Row{});  // no time at all
  mtimes.back().kind = Kind::photo;
  EXPECT_EQ(shootDates(mtimes, dayBoundaryHours), (std::vector<std::string>{"20250201"}));
}

TEST_F(Sessions, FollowsTheZoneOfTheMachineAtEachCall) {
  double t = seoul(2025, 3, 15, 2, 30);  // 17:30 UTC on the 14th
  std::vector<Row> rows = {clip(Kind::video, t, 600)};
  EXPECT_EQ(labels(rows), std::vector<std::string>{"1_0230-0240"});
  EXPECT_EQ(localFormat(t + 0.9, "yyyyMMdd-HHmmss"), "20250315-023000");
  zone.set("UTC");
  EXPECT_EQ(labels(rows), std::vector<std::string>{"1_1730-1740"});
  EXPECT_EQ(shootDates(rows, dayBoundaryHours), (std::vector<std::string>{"20250314"}));
  EXPECT_EQ(localFormat(t, "'T'HH:mm yy"), "T17:30 25");
}

}  // namespace
}  // namespace tolverdine
