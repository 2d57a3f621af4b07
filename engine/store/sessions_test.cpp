#include "engine/store/sessions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "testing/test_util.h"

namespace tolverdine {
namespace {

using Strings = std::vector<std::string>;

// Runs each test in Seoul's zone; the machine's zone comes back afterwards.
class Sessions : public ::testing::Test {
 protected:
  ScopedEnv zone{"TZ", "Asia/Seoul"};
  // Seconds since the epoch of a wall-clock time in Seoul on 2025-03-15 (UTC+9, no daylight
  // saving); hours past 24 run into the next day.
  static double at(int h, int mi, int s = 0) {
    std::tm tm{s, mi, h, 15, 2, 125, 0, 0, 0, 0, nullptr};  // glibc's order
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
  static Strings labels(std::vector<Row>& rows) {
    sessions(rows, sessionGap);
    Strings out;
    for (const auto& r : rows) out.push_back(r.session.value_or("-"));
    return out;
  }
};

TEST_F(Sessions, GapsOpenSessionsAndRunningEndNeverShrinks) {
  const Kind v = Kind::video;
  std::vector<Row> rows = {
      clip(v, at(18, 30), 600),  // 18:30-18:40
      clip(v, at(19, 5), 900),   // 25 minutes later: same session, to 19:20
      clip(v, at(19, 50), 60),   // exactly 30 minutes: new session
  };
  EXPECT_EQ(labels(rows), (Strings{"1_1830-1920", "1_1830-1920", "2_1950-1951"}));
  rows[2].meta.t = at(19, 49, 59);
  EXPECT_EQ(labels(rows), (Strings{"1_1830-1950", "1_1830-1950", "1_1830-1950"}));

  // A long clip, a short one inside it, then one 20 minutes after the long one ends; given in
  // reverse card order, numbered by time.
  rows = {clip(v, at(21, 20), 60), clip(v, at(20, 10), 60), clip(v, at(20, 0), 3600),
          clip(v, at(17, 0), 60)};
  EXPECT_EQ(labels(rows), (Strings{"2_2000-2121", "2_2000-2121", "2_2000-2121", "1_1700-1701"}));
}

TEST_F(Sessions, KindsNumberedApartSpansFollowTheirClipMidnightWraps) {
  // The split recording: 23:30 + 30 min, then 20 and 10 more minutes (audio in between in the
  // card does not break the chain of videos).
  std::vector<Row> rows = {
      clip(Kind::photo, at(18, 35), 0),         clip(Kind::video, at(23, 30), 1800),
      clip(Kind::video, at(24, 0), 1200, true), clip(Kind::audio, at(23, 30), 100),
      clip(Kind::video, at(24, 20), 600, true), clip(Kind::etc, at(23, 30), 0),
      clip(Kind::video, at(18, 30), 60),
  };
  EXPECT_EQ(labels(rows), (Strings{"1_1835-1835", "2_2330-0030", "2_2330-0030", "-", "2_2330-0030",
                                   "-", "1_1830-1831"}));
  // A continuation with nothing before it joins no session and keeps its label.
  std::vector<Row> orphan = {clip(Kind::video, at(10, 0), 60, true)};
  orphan[0].session = "old";
  EXPECT_EQ(labels(orphan), Strings{"old"});
}

// Shoot dates begin at four in the morning; times taken from file dates decide nothing for
// video, but photos count with theirs; the zone is the machine's at each call.
TEST_F(Sessions, ShootDatesAndTheZoneOfEachCall) {
  std::vector<Row> rows = {clip(Kind::video, at(4, 0), 10), clip(Kind::video, at(2, 30), 10),
                           clip(Kind::audio, at(-24 * 70, 0), 10)};
  EXPECT_EQ(shootDates(rows, dayBoundaryHours), (Strings{"20250314", "20250315"}));
  std::vector<Row> mtimes = {clip(Kind::video, at(12, 0), 10), Row{}};
  mtimes[0].tFromMtime = true;
  mtimes[1].kind = Kind::photo;
  EXPECT_TRUE(shootDates(mtimes, dayBoundaryHours).empty()) << "a photo without any time";
  mtimes.push_back(clip(Kind::photo, at(-24 * 14 + 12, 0), 0));
  EXPECT_EQ(shootDates(mtimes, dayBoundaryHours), (Strings{"20250301"}));

  std::vector<Row> late = {clip(Kind::video, at(2, 30), 600)};  // 17:30 UTC on the 14th
  EXPECT_EQ(labels(late), Strings{"1_0230-0240"});
  EXPECT_EQ(localFormat(at(2, 30) + 0.9, "yyyyMMdd-HHmmss"), "20250315-023000");
  zone.set("UTC");
  EXPECT_EQ(labels(late), Strings{"1_1730-1740"});
  EXPECT_EQ(shootDates(late, dayBoundaryHours), (Strings{"20250314"}));
  EXPECT_EQ(localFormat(at(2, 30), "'T'HH:mm yy"), "T17:30 25");
}

}  // namespace
}  // namespace tolverdine
