#include "engine/base/text.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace tolverdine {

namespace {
std::string mapUtf8(const std::string& s, int options) {
  utf8proc_uint8_t* out = nullptr;
  utf8proc_ssize_t n = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(s.data()),
                                    static_cast<utf8proc_ssize_t>(s.size()), &out,
                                    static_cast<utf8proc_option_t>(options));
  if (n < 0) return s;
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> own(out, &std::free);
  return std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n));
}

// ASCII and precomposed Hangul syllables (U+AC00 – U+D7A3) only: such a text is NFC already. No
// two of them compose; only a conjoining jamo after a syllable would, and that is neither.
bool composedAlready(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    if (c < 0xEA || c > 0xED || i + 2 >= s.size()) return false;
    const auto c1 = static_cast<unsigned char>(s[i + 1]), c2 = static_cast<unsigned char>(s[i + 2]);
    if ((c1 & 0xC0) != 0x80 || (c2 & 0xC0) != 0x80) return false;
    const unsigned cp = (c & 0x0Fu) << 12 | (c1 & 0x3Fu) << 6 | (c2 & 0x3Fu);
    if (cp < 0xAC00 || cp > 0xD7A3) return false;
    i += 3;
  }
  return true;
}
}  // namespace

std::string nfc(const std::string& s) {
  // Most paths here are ASCII and Korean folder names: those skip the normalisation's allocations.
  if (composedAlready(s)) return s;
  return mapUtf8(s, UTF8PROC_STABLE | UTF8PROC_COMPOSE);
}

std::string lowerUnicode(const std::string& s) {
  std::string composed = mapUtf8(s, UTF8PROC_STABLE | UTF8PROC_COMPOSE);
  auto* p = reinterpret_cast<const utf8proc_uint8_t*>(composed.data());
  utf8proc_ssize_t len = static_cast<utf8proc_ssize_t>(composed.size());
  std::string out;
  out.reserve(composed.size());
  utf8proc_ssize_t i = 0;
  while (i < len) {
    utf8proc_int32_t cp;
    utf8proc_ssize_t n = utf8proc_iterate(p + i, len - i, &cp);
    if (n <= 0) {  // invalid byte: keep it, lower-cased when ASCII
      unsigned char c = composed[i];
      out += static_cast<char>(c < 0x80 && c >= 'A' && c <= 'Z' ? c + 32 : c);
      ++i;
      continue;
    }
    utf8proc_uint8_t buf[4];
    utf8proc_ssize_t w = utf8proc_encode_char(utf8proc_tolower(cp), buf);
    out.append(reinterpret_cast<char*>(buf), static_cast<size_t>(w));
    i += n;
  }
  return out;
}

std::string lastComponent(const std::string& path) {
  auto pos = path.find_last_of('/');
  return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string parentPath(const std::string& path) {
  auto pos = path.find_last_of('/');
  if (pos == std::string::npos) return "";
  if (pos == 0) return "/";
  return path.substr(0, pos);
}

std::string isoTime(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::string isoNow() { return isoTime(std::time(nullptr)); }

std::string localTime(std::time_t t, const char* fmt) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[128];
  size_t n = std::strftime(buf, sizeof buf, fmt, &tm);
  return std::string(buf, n);
}

bool validUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = s[i];
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    unsigned cp = n == 1 ? c : c & (0x7f >> n);
    for (size_t k = 1; k < n; ++k) {
      unsigned char cc = s[i + k];
      if ((cc & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3f);
    }
    static const unsigned minCp[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minCp[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += n;
  }
  return true;
}

std::string lowerHex(const unsigned char* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

}  // namespace tolverdine
