#include "engine/job/card_job.h"

#include <gtest/gtest.h>

namespace tolverdine {
namespace {

TEST(CardJob, SummaryByOutcome) {
  IngestResult r;
  r.copied = 4;
  r.skipped = 1;
  r.color = CardColor::red;
  r.failed = {{"a", "/d", "검증 해시 불일치"}, {"b", "/d", "검증 해시 불일치"}};
  EXPECT_EQ(jobSummary(r, 2), "복사 4 · 기존 1 · 실패 2 — 카드를 포맷하지 마세요");
  r.color = CardColor::gray;
  r.failed.clear();
  EXPECT_EQ(jobSummary(r, 2), "복사 4 · 기존 1 — 카드를 포맷하지 마세요");
  // A stopped run says only why, whatever was copied before.
  r.stopped = IngestStop::cardRemoved();
  EXPECT_EQ(jobSummary(r, 2), "멈춤 — " + IngestStop::cardRemoved().description());
}

}  // namespace
}  // namespace tolverdine
