// search, history and suggestions read back what an ingest recorded.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/cli_test_util.h"

namespace tolverdine {
namespace {

size_t hitsOf(const Cli& c, std::vector<std::string> args, const std::string& command = "search") {
  args.push_back("--json");
  return nlohmann::json::parse(c.run(args, command).out).size();
}

TEST(LibraryCommands, SearchHistoryAndSuggestionsAfterAnIngest) {
  Cli c;
  ASSERT_EQ(c.run({c.card, "--project", "P", "--dest", c.d1, "--dest", c.d2}).status, 0);
  auto hits = nlohmann::json::parse(c.run({"C0001", "--json"}, "search").out);
  ASSERT_EQ(hits.size(), 2u) << "one row per destination";
  EXPECT_NE(hits[0]["dest"], hits[1]["dest"]);
  EXPECT_EQ(hitsOf(c, {"A캠", "--limit", "1"}), 1u);
  EXPECT_EQ(hitsOf(c, {"   "}), 0u) << "blank text: no query";
  EXPECT_EQ(c.run({"C0001", "--limit", "0"}, "search").status, 64);
  // Table form: a count line, and columns that line up on the screen, where a Hangul letter
  // (three bytes) takes two columns.
  auto table = c.run({"C0002"}, "search").out;
  EXPECT_NE(table.find("2건"), std::string::npos);
  auto column = [&](const std::string& line, const std::string& word) {
    size_t start = table.find(line), at = table.find(word, start);
    int width = 0;
    for (size_t i = start; i < at; ++i) {
      const auto b = static_cast<unsigned char>(table[i]);
      width += b < 0x80 ? 1 : b >= 0xE0 ? 2 : 0;  // a lead byte of a Hangul syllable: two
    }
    return width;
  };
  EXPECT_EQ(column("이름", "카메라"), column("C0002.MP4", "A캠")) << table;
  EXPECT_EQ(column("이름", "시각"), column("C0002.MP4", "20")) << table;

  auto cards = nlohmann::json::parse(c.run({"--json"}, "history").out);
  ASSERT_EQ(cards.size(), 1u);
  EXPECT_EQ(cards[0]["files"], 3);
  EXPECT_EQ(cards[0]["cam"], "A캠");
  EXPECT_TRUE(has(c.run({}, "suggestions"), "(없음)"));
  EXPECT_EQ(hitsOf(c, {}, "suggestions"), 0u);
}

}  // namespace
}  // namespace tolverdine
