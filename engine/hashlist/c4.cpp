#include "engine/hashlist/c4.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>

namespace tolverdine {

namespace {
constexpr char kAlphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr size_t kDigits = 88;

std::array<unsigned char, 64> sha512(std::string_view bytes) {
  std::array<unsigned char, 64> md{};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  unsigned len = 0;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha512(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), md.data(), &len) != 1 || len != md.size())
    throw std::runtime_error("SHA-512 unavailable");
  return md;
}
}  // namespace

std::string c4Id(std::string_view bytes) { return c4FromSha512(sha512(bytes)); }

std::string c4FromSha512(std::array<unsigned char, 64> num) {
  std::string digits;
  // Long division of the big-endian number by 58 until it is zero; remainders are the digits,
  // least significant first.
  for (;;) {
    bool zero = std::all_of(num.begin(), num.end(), [](unsigned char b) { return b == 0; });
    if (zero) break;
    unsigned rem = 0;
    for (auto& b : num) {
      unsigned cur = (rem << 8) | b;
      b = static_cast<unsigned char>(cur / 58);
      rem = cur % 58;
    }
    digits += kAlphabet[rem];
  }
  if (digits.size() < kDigits) digits.append(kDigits - digits.size(), '1');
  std::reverse(digits.begin(), digits.end());
  return "c4" + digits;
}

}  // namespace tolverdine
