// Unicode and time texts shared by every layer.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

namespace tolverdine {

/// Canonical composition (NFC). Invalid UTF-8 is returned unchanged.
std::string nfc(const std::string& s);
/// Full Unicode lower-casing (NFC result). Invalid UTF-8 is lower-cased in its ASCII bytes only.
std::string lowerUnicode(const std::string& s);
/// Well-formed UTF-8: no overlong forms, surrogates or code points past U+10FFFF.
bool validUtf8(const std::string& s);
/// Last path component ("/" separated); the whole text when it has no "/".
/// Bytes as lower-case hexadecimal, two digits each (hash texts).
std::string lowerHex(const unsigned char* p, size_t n);
std::string lastComponent(const std::string& path);
/// Everything before the last "/"; "" when there is none.
std::string parentPath(const std::string& path);

/// ISO 8601 in UTC with seconds and "Z": 2026-03-14T08:05:09Z.
std::string isoTime(std::time_t t);
std::string isoNow();
/// strftime-style format in local time ("%Y%m%d").
std::string localTime(std::time_t t, const char* fmt);

}  // namespace tolverdine
