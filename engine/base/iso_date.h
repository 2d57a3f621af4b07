// Internet date-time texts (2025-03-14T09:30:12.000000Z, 2025-03-14T18:30:12+09:00).
#pragma once

#include <optional>
#include <string_view>

namespace tolverdine {

enum class Fraction { required, forbidden };

/// Parses yyyy-MM-ddTHH:mm:ss[.f+](Z|±HH:MM) into seconds since the epoch. With
/// Fraction::required the fractional seconds must be there, with Fraction::forbidden they must
/// not. Anything else (other separators, out-of-range fields, trailing text) gives no value.
std::optional<double> parseInternetDate(std::string_view s, Fraction f);

/// Fraction::required, then Fraction::forbidden.
std::optional<double> parseInternetDateAny(std::string_view s);

}  // namespace tolverdine
