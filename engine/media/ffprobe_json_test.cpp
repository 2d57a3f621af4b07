#include "engine/media/ffprobe_json.h"

#include <gtest/gtest.h>

#include "engine/base/iso_date.h"

namespace tolverdine {
namespace {

TEST(InternetDate, FormsAndRejects) {
  for (const char* same :
       {"2025-03-14T18:30:12+09:00", "2025-03-14T09:30:12Z", "2025-03-14T04:00:12-05:30"})
    EXPECT_EQ(parseInternetDate(same, Fraction::forbidden), 1741944612.0) << same;
  EXPECT_DOUBLE_EQ(*parseInternetDate("2025-03-14T09:30:12.250000Z", Fraction::required),
                   1741944612.25);
  EXPECT_EQ(parseInternetDate("2024-02-29T00:00:00Z", Fraction::forbidden), 1709164800.0);
  EXPECT_EQ(parseInternetDateAny("2025-03-14T09:30:12.5Z"), 1741944612.5);
  for (const char* bad : {"2025-03-14T09:30:12.5Z", "2025-03-14T09:30:12", "2025-02-29T00:00:00Z",
                          "2025-03-14T24:00:00Z", "2025-03-14T09:30:12Zjunk",
                          "2025-03-14T09:30:12+0900", "２０２５-03-14T09:30:12Z"})
    EXPECT_FALSE(parseInternetDate(bad, Fraction::forbidden)) << bad;
  EXPECT_FALSE(parseInternetDate("2025-03-14T09:30:12Z", Fraction::required));
}

TEST(FfprobeJson, FullRecordAndMistypedMembers) {
  auto m = parseFfprobeJson(R"({
    "streams": [
      {"codec_type": "audio", "channels": 2, "tags": {"creation_time": "2020-01-01T00:00:00Z"}},
      {"codec_type": "video", "width": 1920, "height": 1080, "r_frame_rate": "30000/1001"},
      {"codec_type": "video", "width": 640, "height": 480, "r_frame_rate": "25/1"},
      {"codec_type": "audio", "channels": 4},
      {"codec_type": "data"}
    ],
    "format": {"duration": "12.500000", "tags": {"creation_time": "2025-03-14T09:30:12.000000Z"}}})");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->t, 1741944612.0);  // the format's tag wins over the stream's
  EXPECT_EQ(m->dur, 12.5);
  EXPECT_EQ(m->ch, 4);             // largest, not the sum
  EXPECT_EQ(m->res, "1920x1080");  // first video stream, even after an audio stream
  EXPECT_EQ(m->fps, 29.97);

  // Mistyped members are absent; rates and durations are finite.
  for (const char* bad : {"", "[]", "null", "{\"streams\": [", "{}x"})
    EXPECT_FALSE(parseFfprobeJson(bad)) << bad;
  m = parseFfprobeJson(R"({"format": {"duration": 12, "tags": {"creation_time": 5}},
      "streams": {"codec_type": "video"}})");
  ASSERT_TRUE(m);
  EXPECT_EQ(*m, Meta{});

  // Creation time from the first stream that has one; an unparsable one leaves t absent.
  m = parseFfprobeJson(
      R"({"format": {}, "streams": [7, {"tags": {}}, {"tags": {"creation_time": "2025-03-14T09:30:12Z"}},
      {"tags": {"creation_time": "2000-01-01T00:00:00Z"}}]})");
  EXPECT_EQ(m->t, 1741944612.0);

  m = parseFfprobeJson(
      R"({"streams": [{"codec_type": "video"}, {"codec_type": "audio", "channels": "6"},
      {"codec_type": "audio", "channels": 1.5}, {"codec_type": "audio", "channels": -3},
      {"codec_type": "audio", "channels": 99999999999}]})");
  EXPECT_EQ(m->res, "?x?");
  EXPECT_EQ(m->fps, 0.0);  // a missing rate reads as "0/1"
  EXPECT_EQ(m->ch, 0);

  auto fps = [](const std::string& rate) {
    return parseFfprobeJson(R"({"streams": [{"codec_type": "video", "r_frame_rate": ")" + rate +
                            R"("}]})")
        ->fps;
  };
  // Three decimals, half away from zero; what follows the first "/" is read as a number.
  for (auto [rate, want] :
       {std::pair{"24000/1001", 23.976}, {"-1/16", -0.063}, {"30000//1001", 29.97}})
    EXPECT_EQ(fps(rate), want) << rate;
  // No infinite rates in reports.
  for (const char* bad : {"0/0", "25", "inf/1", "1e308/1e-308"}) EXPECT_FALSE(fps(bad)) << bad;

  auto dur = [](const std::string& d) {
    return parseFfprobeJson(R"({"format": {"duration": ")" + d + R"("}})")->dur;
  };
  EXPECT_EQ(dur("1.001000"), 1.001);
  for (const char* bad : {"N/A", "1 ", "0", "-1", "nan", "1e999"}) EXPECT_FALSE(dur(bad)) << bad;
}

}  // namespace
}  // namespace tolverdine
