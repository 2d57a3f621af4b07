// Reading the JSON that `ffprobe -print_format json -show_format -show_streams` prints.
#pragma once

#include <optional>
#include <string_view>

#include "engine/base/records.h"

namespace tolverdine {

/// The Meta in ffprobe's output; absent when the text is not a JSON object. Members that are
/// missing or of the wrong type count as absent; never throws.
std::optional<Meta> parseFfprobeJson(std::string_view text);

/// A whole text read as a decimal floating-point number ("+1.5", "2e3"; no spaces).
std::optional<double> parseDecimal(std::string_view s);

/// A frame rate rounded half away from zero to three decimals; absent unless finite.
std::optional<double> roundFps(double fps);

/// A duration counts only when it is a finite number of seconds greater than 0.
inline std::optional<double> usableDuration(double d) {
  if (d > 0 && d <= 1e300) return d;  // also rejects NaN and infinity
  return std::nullopt;
}

}  // namespace tolverdine
