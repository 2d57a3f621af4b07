#include "engine/base/term_text.h"

#include <algorithm>
#include <cstdio>

namespace tolverdine {

namespace {
// Length of the well-formed UTF-8 sequence at s[i] and its code point; 0 when malformed.
size_t sequence(std::string_view s, size_t i, unsigned& cp) {
  unsigned char c = s[i];
  size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  cp = n == 1 ? c : c & (0x7f >> n);
  for (size_t k = 1; k < n; ++k) {
    unsigned char cc = s[i + k];
    if ((cc & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3f);
  }
  static const unsigned minCp[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < minCp[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
  return n;
}

bool directionControl(unsigned cp) {
  return cp == 0x061c || cp == 0x200e || cp == 0x200f || (cp >= 0x202a && cp <= 0x202e) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

int columnsOf(unsigned cp) {
  if ((cp >= 0x0300 && cp <= 0x036f) || (cp >= 0x1160 && cp <= 0x11ff) ||
      (cp >= 0xd7b0 && cp <= 0xd7ff) || cp == 0x200b || (cp >= 0xfe00 && cp <= 0xfe0f))
    return 0;
  if ((cp >= 0x1100 && cp <= 0x115f) || (cp >= 0x2e80 && cp <= 0x303e) ||
      (cp >= 0x3041 && cp <= 0xa4cf) || (cp >= 0xa960 && cp <= 0xa97f) ||
      (cp >= 0xac00 && cp <= 0xd7a3) || (cp >= 0xf900 && cp <= 0xfaff) ||
      (cp >= 0xfe30 && cp <= 0xfe4f) || (cp >= 0xff00 && cp <= 0xff60) ||
      (cp >= 0xffe0 && cp <= 0xffe6) || (cp >= 0x1f300 && cp <= 0x1f64f) ||
      (cp >= 0x1f900 && cp <= 0x1f9ff) || (cp >= 0x20000 && cp <= 0x3fffd))
    return 2;
  return 1;
}
}  // namespace

int displayWidth(std::string_view s) {
  int w = 0;
  for (size_t i = 0; i < s.size();) {
    unsigned cp = 0;
    size_t n = sequence(s, i, cp);
    w += n ? columnsOf(cp) : 1;
    i += n ? n : 1;
  }
  return w;
}

std::string padTo(std::string_view s, int width) {
  std::string out(s);
  out.append(static_cast<size_t>(std::max(0, width - displayWidth(s))), ' ');
  return out;
}

std::string printableName(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  char buf[16];
  for (size_t i = 0; i < s.size();) {
    unsigned cp = 0;
    size_t n = sequence(s, i, cp);
    if (n == 0) {
      std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(s[i]));
      out += buf;
      ++i;
      continue;
    }
    if (cp == '\\') out += "\\\\";
    else if (cp == '\t') out += "\\t";
    else if (cp == '\n') out += "\\n";
    else if (cp == '\r') out += "\\r";
    else if (cp < 0x20 || cp == 0x7f) {
      std::snprintf(buf, sizeof buf, "\\x%02X", cp);
      out += buf;
    } else if ((cp >= 0x80 && cp <= 0x9f) || directionControl(cp)) {
      std::snprintf(buf, sizeof buf, "\\u{%04X}", cp);
      out += buf;
    } else {
      out.append(s.substr(i, n));
    }
    i += n;
  }
  return out;
}

}  // namespace tolverdine
