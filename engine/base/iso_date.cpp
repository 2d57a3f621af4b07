#include "engine/base/iso_date.h"

#include <cstdint>

namespace tolverdine {

namespace {

// Reads exactly n decimal digits at s[*i].
bool digits(std::string_view s, size_t* i, int n, int* out) {
  if (*i + n > s.size()) return false;
  int v = 0;
  for (int k = 0; k < n; ++k) {
    char c = s[*i + k];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *i += n;
  *out = v;
  return true;
}

bool expect(std::string_view s, size_t* i, char c) {
  if (*i >= s.size() || s[*i] != c) return false;
  ++*i;
  return true;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
  static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : d[m - 1];
}

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

std::optional<double> parseInternetDate(std::string_view s, Fraction f) {
  size_t i = 0;
  int y, mo, d, h, mi, se;
  if (!digits(s, &i, 4, &y) || !expect(s, &i, '-') || !digits(s, &i, 2, &mo) ||
      !expect(s, &i, '-') || !digits(s, &i, 2, &d) || !expect(s, &i, 'T') ||
      !digits(s, &i, 2, &h) || !expect(s, &i, ':') || !digits(s, &i, 2, &mi) ||
      !expect(s, &i, ':') || !digits(s, &i, 2, &se))
    return std::nullopt;
  if (mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h > 23 || mi > 59 || se > 59)
    return std::nullopt;
  double frac = 0;
  bool hasFrac = i < s.size() && s[i] == '.';
  if (hasFrac != (f == Fraction::required)) return std::nullopt;
  if (hasFrac) {
    ++i;
    size_t start = i;
    double scale = 0.1;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
      frac += (s[i] - '0') * scale;
      scale /= 10;
      ++i;
    }
    if (i == start) return std::nullopt;
  }
  int offset = 0;
  if (i < s.size() && s[i] == 'Z') {
    ++i;
  } else if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    int sign = s[i] == '-' ? -1 : 1;
    ++i;
    int oh, om;
    if (!digits(s, &i, 2, &oh) || !expect(s, &i, ':') || !digits(s, &i, 2, &om) || oh > 23 ||
        om > 59)
      return std::nullopt;
    offset = sign * (oh * 3600 + om * 60);
  } else {
    return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;
  int64_t secs = daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + se - offset;
  return static_cast<double>(secs) + frac;
}

std::optional<double> parseInternetDateAny(std::string_view s) {
  if (auto t = parseInternetDate(s, Fraction::required)) return t;
  return parseInternetDate(s, Fraction::forbidden);
}

}  // namespace tolverdine
