#include "engine/base/utf8_repair.h"

namespace tolverdine {

std::string repairUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = s[i];
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool ok = n > 0 && i + n <= s.size();
    unsigned cp = n == 1 ? c : c & (0x7f >> n);
    for (size_t k = 1; ok && k < n; ++k) {
      unsigned char cc = s[i + k];
      ok = (cc & 0xc0) == 0x80;
      cp = (cp << 6) | (cc & 0x3f);
    }
    static const unsigned minCp[] = {0, 0, 0x80, 0x800, 0x10000};
    ok = ok && cp >= minCp[n] && cp <= 0x10ffff && !(cp >= 0xd800 && cp <= 0xdfff);
    if (ok) {
      out.append(s.substr(i, n));
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

}  // namespace tolverdine
