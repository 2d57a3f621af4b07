#include "engine/media/ffprobe_json.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/base/iso_date.h"

namespace tolverdine {

using nlohmann::json;

namespace {

const json* member(const json& obj, const char* key) {
  if (!obj.is_object()) return nullptr;
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

std::optional<std::string> text(const json& obj, const char* key) {
  const json* v = member(obj, key);
  if (!v || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

std::optional<std::string> creationTime(const json& obj) {
  const json* tags = member(obj, "tags");
  return tags ? text(*tags, "creation_time") : std::nullopt;
}

std::string numberText(const json& obj, const char* key) {
  const json* v = member(obj, key);
  if (!v || !v->is_number()) return "?";
  return v->dump();
}

std::optional<double> frameRate(const std::string& rate) {
  // Empty pieces are dropped and unreadable ones skipped: "30000//1001" still reads as 30000/1001.
  double nums[2];
  int n = 0;
  size_t start = 0;
  while (start <= rate.size()) {
    size_t slash = rate.find('/', start);
    if (slash == std::string::npos) slash = rate.size();
    std::string_view piece(rate.data() + start, slash - start);
    if (!piece.empty()) {
      if (auto d = parseDecimal(piece)) {
        if (n == 2) return std::nullopt;
        nums[n++] = *d;
      }
    }
    start = slash + 1;
  }
  if (n != 2 || nums[1] == 0) return std::nullopt;
  return roundFps(nums[0] / nums[1]);
}

int channels(const json& stream) {
  const json* v = member(stream, "channels");
  if (!v || !v->is_number_integer()) return 0;
  if (v->is_number_unsigned()) {
    auto u = v->get<unsigned long long>();
    return u > INT_MAX ? 0 : static_cast<int>(u);
  }
  auto i = v->get<long long>();
  return i < 0 || i > INT_MAX ? 0 : static_cast<int>(i);
}

}  // namespace

std::optional<double> parseDecimal(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty() || s[0] == '+') return std::nullopt;
  double d;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return d;
}

std::optional<double> roundFps(double fps) {
  if (!std::isfinite(fps)) return std::nullopt;
  double r = std::round(fps * 1000) / 1000;
  if (!std::isfinite(r)) return std::nullopt;
  return r;
}

std::optional<Meta> parseFfprobeJson(std::string_view text) {
  json root = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (!root.is_object()) return std::nullopt;
  Meta m;
  static const json kNoStreams = json::array();
  const json* streams = member(root, "streams");
  if (!streams || !streams->is_array()) streams = &kNoStreams;
  const json* format = member(root, "format");

  std::optional<std::string> ct = format ? creationTime(*format) : std::nullopt;
  for (size_t i = 0; !ct && i < streams->size(); ++i) ct = creationTime((*streams)[i]);
  if (ct) m.t = parseInternetDateAny(*ct);

  if (auto d = format ? tolverdine::text(*format, "duration") : std::nullopt)
    if (auto v = parseDecimal(*d)) m.dur = usableDuration(*v);

  bool sawVideo = false;
  for (const json& s : *streams) {
    auto type = tolverdine::text(s, "codec_type");
    if (!type) continue;
    if (*type == "video" && !sawVideo) {
      sawVideo = true;
      m.res = numberText(s, "width") + "x" + numberText(s, "height");
      m.fps = frameRate(tolverdine::text(s, "r_frame_rate").value_or("0/1"));
    } else if (*type == "audio") {
      m.ch = std::max(m.ch, channels(s));
    }
  }
  return m;
}

}  // namespace tolverdine
