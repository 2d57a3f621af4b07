// Comparisons of texts whose letters are ASCII by nature (host names, hexadecimal digests).
#pragma once

#include <cctype>
#include <string_view>

namespace tolverdine {

/// Equal when they differ at most in the case of ASCII letters.
inline bool sameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace tolverdine
