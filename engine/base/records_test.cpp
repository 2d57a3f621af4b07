#include "engine/base/records.h"

#include <gtest/gtest.h>

#include <cerrno>

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

// The texts a stop is told by: at most ten conflicts, sizes in GB.
TEST(Records, StopDescriptions) {
  std::vector<std::string> lines;
  for (int i = 1; i <= 12; ++i) lines.push_back("p" + std::to_string(i));
  EXPECT_EQ(IngestStop::conflicts(lines).description(),
            "덮어쓰지 않고 멈춥니다:\np1\np2\np3\np4\np5\np6\np7\np8\np9\np10");
  EXPECT_EQ(IngestStop::noSpace("/v/d", 1500000000, 250000000).description(),
            "공간 부족 — /v/d 필요 1.5GB / 남음 0.2GB");
  EXPECT_EQ(IngestStop::unwritable("/mnt/x", EACCES).description(),
            "목적지에 쓸 수 없습니다: /mnt/x — 쓰기 권한이 없습니다");
  EXPECT_EQ(IngestStop::unwritable("/mnt/x", EROFS).description(),
            "목적지에 쓸 수 없습니다: /mnt/x — 읽기 전용으로 연결되어 있습니다");
  EXPECT_NE(IngestStop::locked("A"), IngestStop::locked("B"));
  EXPECT_NE(IngestStop::locked("A"), IngestStop::destMissing("A"));
}

}  // namespace
}  // namespace tolverdine
