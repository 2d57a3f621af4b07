// Clip-length statistics of a card: an aid for choosing rule bounds.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "engine/media/probe.h"

namespace tolverdine {

struct LengthStats {
  std::vector<std::pair<std::string, int>> buckets;  // label, count; always the eight buckets
  int count = 0;                                     // clips with a duration
  double median = 0;
  double p90 = 0;
  bool operator==(const LengthStats&) const = default;
};

/// Statistics of the given durations (any order).
LengthStats lengthStatsOf(std::vector<double> durations);

/// Probes, one after the other, every file of files (a card's walk) whose extension is a video
/// extension, and gives the statistics of the durations found.
LengthStats lengthStats(const std::vector<std::string>& files, const ProbeFn& probe);

}  // namespace tolverdine
