#include "engine/reports/earlier_jobs.h"

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

void run(const std::string& root, const std::string& base, const std::string& json) {
  mkdirs(root + "/_리포트");
  writeFile(root + "/_리포트/" + base + "_job.json", json, false);
  writeFile(root + "/_리포트/" + base + "_clips.csv",
            "\xEF\xBB\xBF"
            "파일\n",
            false);
}

std::string job(const std::string& project, const std::string& cam, const std::string& src,
                const std::string& at, const std::string& color = "green") {
  return R"({"project":")" + project + R"(","cam":")" + cam + R"(","src":")" + src + R"(","at":")" +
         at + R"(","color":")" + color + R"(","files":3,"failed":[]})";
}

TEST(EarlierJobs, NewestFirstOfTheProjectOnlyMergedAcrossDestinationsAndBounded) {
  TempDir t;
  const std::string d1 = t.path + "/d1", d2 = t.path + "/d2";
  const std::string p1 = d1 + "/20250101_데모", p2 = d2 + "/20250101_데모",
                    p3 = d1 + "/20250102_데모";
  // One run on both destinations, a second apart; an older run; a newer one on the next day.
  run(p1, "A캠_20250101-100000", job("데모", "A캠", "/media/A001", "2025-01-01T01:00:00Z"));
  run(p2, "A캠_20250101-100001", job("데모", "A캠", "/media/A001", "2025-01-01T01:00:01Z"));
  run(p1, "A캠_20250101-090000",
      job("데모", "A캠", "/media/A000", "2025-01-01T00:00:00Z", "yellow"));
  run(p3, "B캠_20250102-100000", job("데모", "B캠", "/media/B001", "2025-01-02T01:00:00Z"));
  // Another project, a folder that only ends like this one, a file that is not a job summary.
  run(d1 + "/20250101_데모2", "A캠_20250101-110000",
      job("데모2", "A캠", "/media/X", "2025-01-01T02:00:00Z"));
  run(d1 + "/x20250101_데모", "A캠_20250101-110000",
      job("데모", "A캠", "/media/Y", "2025-01-01T02:00:00Z"));
  run(p1, "A캠_20250101-120000", "not json");
  // A summary whose clip list is gone has no report to open.
  run(p1, "A캠_20250101-130000", job("데모", "A캠", "/media/Z", "2025-01-01T04:00:00Z"));
  ::unlink((p1 + "/_리포트/A캠_20250101-130000_clips.csv").c_str());

  auto all = earlierJobs({d1, d2}, "데모", {"_리포트", "_REPORTS"}, 50);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].name(), "B001");
  EXPECT_EQ(all[1].name(), "A001");
  EXPECT_EQ(all[1].roots, (std::vector<std::string>{p1, p2}));
  EXPECT_EQ(all[1].csv, p1 + "/_리포트/A캠_20250101-100000_clips.csv");
  EXPECT_EQ(all[2].name() + " " + all[2].color, "A000 yellow");

  auto two = earlierJobs({d1, d2}, "데모", {"_리포트"}, 2);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[1].roots.size(), 2u) << "a run's other destination is merged in past the bound too";
  EXPECT_TRUE(earlierJobs({d1, d2}, "", {"_리포트"}, 50).empty());
}

}  // namespace
}  // namespace tolverdine
