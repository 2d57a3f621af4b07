#include "engine/media/length_stats.h"

#include <algorithm>
#include <array>
#include <limits>

#include "engine/base/text.h"

namespace tolverdine {

namespace {

bool isVideoName(const std::string& path) {
  static const std::array<const char*, 9> ext = {"mp4",  "mov",  "mxf", "avi", "mts",
                                                 "m2ts", "braw", "r3d", "insv"};
  std::string name = lastComponent(path);
  auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  std::string e = lowerUnicode(name.substr(dot + 1));
  return std::find(ext.begin(), ext.end(), e) != ext.end();
}

}  // namespace

LengthStats lengthStatsOf(std::vector<double> d) {
  static const std::array<std::pair<double, const char*>, 8> bounds = {{
      {5, "~5초"},
      {30, "~30초"},
      {60, "~1분"},
      {120, "~2분"},
      {300, "~5분"},
      {600, "~10분"},
      {1200, "~20분"},
      {std::numeric_limits<double>::infinity(), "20분+"},
  }};
  std::sort(d.begin(), d.end());
  LengthStats s;
  s.count = static_cast<int>(d.size());
  if (!d.empty()) {
    s.median = d[d.size() / 2];
    s.p90 = d[std::min(d.size() - 1, static_cast<size_t>(static_cast<double>(d.size()) * 0.9))];
  }
  double lower = -std::numeric_limits<double>::infinity();
  for (const auto& [bound, label] : bounds) {
    int n = static_cast<int>(
        std::count_if(d.begin(), d.end(), [&](double x) { return x > lower && x <= bound; }));
    s.buckets.emplace_back(label, n);
    lower = bound;
  }
  return s;
}

LengthStats lengthStats(const std::vector<std::string>& files, const ProbeFn& probe) {
  std::vector<double> d;
  for (const auto& f : files)
    if (isVideoName(f))
      if (auto dur = probe(f).dur) d.push_back(*dur);
  return lengthStatsOf(std::move(d));
}

}  // namespace tolverdine
