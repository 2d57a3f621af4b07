#include "engine/base/base64.h"

namespace tolverdine {

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
  }
  return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t pad = 0;
  if (!text.empty() && text.back() == '=') ++pad;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++pad;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    unsigned n = 0;
    for (size_t k = 0; k < 4; ++k) {
      char c = text[i + k];
      int v = value(c);
      if (v < 0) {
        // "=" only in the padding positions of the final group.
        if (!(c == '=' && last && k >= 4 - pad)) return std::nullopt;
        v = 0;
      }
      n = (n << 6) | static_cast<unsigned>(v);
    }
    out += static_cast<char>((n >> 16) & 0xff);
    if (!last || pad < 2) out += static_cast<char>((n >> 8) & 0xff);
    if (!last || pad < 1) out += static_cast<char>(n & 0xff);
  }
  return out;
}

}  // namespace tolverdine
