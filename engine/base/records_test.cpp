#include "engine/base/records.h"

#include <gtest/gtest.h>

namespace tolverdine {
namespace {

TEST(Records, KeyKeepsSignAndUsesOnlyIdentity) {
  Row r;
  r.rel = "a.mov";
  r.size = 10;
  r.mtimeNs = -5;
  r.cls = "인터뷰";  // not part of the key
  EXPECT_EQ(ingestKey("B", r), "B|a.mov|10|-5");
  EXPECT_EQ(ingestKey("B", CardFile{r.rel, r.size, r.mtimeNs}), ingestKey("B", r));
}

TEST(Records, StopDescriptions) {
  std::vector<std::string> lines;
  for (int i = 1; i <= 12; ++i) lines.push_back("p" + std::to_string(i));
  std::string d = IngestStop::conflicts(lines).description();
  EXPECT_EQ(d, "덮어쓰지 않고 멈춥니다:\np1\np2\np3\np4\np5\np6\np7\np8\np9\np10");
  EXPECT_EQ(IngestStop::conflicts({}).description(), "덮어쓰지 않고 멈춥니다:\n");
  EXPECT_EQ(IngestStop::noSpace("/v/d", 1500000000, 250000000).description(),
            "공간 부족 — /v/d 필요 1.5GB / 남음 0.2GB");
  EXPECT_EQ(IngestStop::locked("A캠").description(), "A캠 카메라를 다른 곳에서 받는 중입니다");
  EXPECT_EQ(IngestStop::destMissing("/media/x").description(), "목적지가 없습니다: /media/x");
  EXPECT_EQ(IngestStop::cardRemoved(), IngestStop::cardRemoved());
  EXPECT_NE(IngestStop::locked("A"), IngestStop::locked("B"));
  EXPECT_NE(IngestStop::locked("A"), IngestStop::destMissing("A"));
}

}  // namespace
}  // namespace tolverdine
