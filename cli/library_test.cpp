// search, history and suggestions read back what an ingest recorded.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/cli_test_util.h"

namespace tolverdine {
namespace {

TEST(LibraryCommands, SearchHistoryAndSuggestionsAfterAnIngest) {
  Cli c;
  ASSERT_EQ(c.run({c.card, "--project", "P", "--dest", c.d1, "--dest", c.d2}).status, 0);

  auto r = c.run({"C0001", "--json"}, "search");
  ASSERT_EQ(r.status, 0) << r.err;
  auto hits = nlohmann::json::parse(r.out);
  ASSERT_EQ(hits.size(), 2u) << "one row per destination";
  EXPECT_NE(hits[0]["dest"], hits[1]["dest"]);
  EXPECT_EQ(nlohmann::json::parse(c.run({"A캠", "--json", "--limit", "1"}, "search").out).size(),
            1u);
  EXPECT_EQ(nlohmann::json::parse(c.run({"   ", "--json"}, "search").out).size(), 0u)
      << "blank text: no query";
  EXPECT_EQ(nlohmann::json::parse(c.run({"없는이름", "--json"}, "search").out).size(), 0u);
  EXPECT_NE(c.run({"C0001", "--limit", "0"}, "search").status, 0);
  // Table form: a count line in Korean, and columns that line up on the screen, where a Hangul
  // letter (three bytes) takes two columns.
  auto table = c.run({"C0002"}, "search").out;
  EXPECT_NE(table.find("2건"), std::string::npos);
  auto column = [](const std::string& text, const std::string& line, const std::string& word) {
    size_t start = text.find(line), at = text.find(word, start);
    int width = 0;
    for (size_t i = start; i < at; ++i) {
      const auto b = static_cast<unsigned char>(text[i]);
      if (b < 0x80) ++width;
      else if (b >= 0xE0) width += 2;  // the lead byte of a Hangul syllable
    }
    return width;
  };
  EXPECT_EQ(column(table, "이름", "카메라"), column(table, "C0002.MP4", "A캠")) << table;
  EXPECT_EQ(column(table, "이름", "시각"), column(table, "C0002.MP4", "20")) << table;

  auto h = c.run({"--json"}, "history");
  ASSERT_EQ(h.status, 0) << h.err;
  auto cards = nlohmann::json::parse(h.out);
  ASSERT_EQ(cards.size(), 1u);
  EXPECT_EQ(cards[0]["files"], 3);
  EXPECT_EQ(cards[0]["cam"], "A캠");

  auto s = c.run({}, "suggestions");
  ASSERT_EQ(s.status, 0) << s.err;
  EXPECT_NE(s.out.find("규칙 제안 — 같은 방향으로 5번 이상 옮겼습니다"), std::string::npos);
  EXPECT_NE(s.out.find("(없음)"), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(c.run({"--json"}, "suggestions").out).size(), 0u);
}

}  // namespace
}  // namespace tolverdine
