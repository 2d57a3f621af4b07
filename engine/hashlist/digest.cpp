#include "engine/hashlist/digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <memory>
#include <vector>

#include "engine/base/ascii.h"
#include "engine/base/text.h"
#include "engine/copy/copy.h"
#include "engine/hashlist/c4.h"
#include "os/fd.h"

namespace tolverdine {

namespace {
constexpr HashType kAll[] = {HashType::xxh64, HashType::xxh3, HashType::xxh128,
                             HashType::md5,   HashType::sha1, HashType::c4};

// Reads the whole file in blocks; false when it cannot be opened or read.
template <class F> bool eachBlock(const std::string& path, Fs& fs, F&& f) {
  UniqueFd fd(fs.open(path, O_RDONLY));
  if (fd.get() < 0) return false;
  std::vector<char> buf(1 << 20);
  for (;;) {
    ssize_t n = fs.read(fd.get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    f(buf.data(), static_cast<size_t>(n));
  }
}

std::optional<std::string> xxh3(const std::string& path, bool wide, Fs& fs) {
  std::unique_ptr<XXH3_state_t, decltype(&XXH3_freeState)> st(XXH3_createState(), &XXH3_freeState);
  if (!st) return std::nullopt;
  if (wide ? XXH3_128bits_reset(st.get()) : XXH3_64bits_reset(st.get())) return std::nullopt;
  bool ok = eachBlock(path, fs, [&](const char* p, size_t n) {
    if (wide) XXH3_128bits_update(st.get(), p, n);
    else XXH3_64bits_update(st.get(), p, n);
  });
  if (!ok) return std::nullopt;
  if (wide) {
    XXH128_canonical_t c;
    XXH128_canonicalFromHash(&c, XXH3_128bits_digest(st.get()));
    return lowerHex(c.digest, sizeof c.digest);
  }
  XXH64_canonical_t c;
  XXH64_canonicalFromHash(&c, XXH3_64bits_digest(st.get()));
  return lowerHex(c.digest, sizeof c.digest);
}

std::optional<std::array<unsigned char, EVP_MAX_MD_SIZE>> evp(const std::string& path,
                                                              const EVP_MD* md, unsigned* len,
                                                              Fs& fs) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return std::nullopt;
  bool updated = true;
  bool read = eachBlock(path, fs, [&](const char* p, size_t n) {
    updated = updated && EVP_DigestUpdate(ctx.get(), p, n) == 1;
  });
  std::array<unsigned char, EVP_MAX_MD_SIZE> out{};
  if (!read || !updated || EVP_DigestFinal_ex(ctx.get(), out.data(), len) != 1) return std::nullopt;
  return out;
}
}  // namespace

const char* hashTypeName(HashType t) {
  switch (t) {
    case HashType::xxh64: return "xxh64";
    case HashType::xxh3: return "xxh3";
    case HashType::xxh128: return "xxh128";
    case HashType::md5: return "md5";
    case HashType::sha1: return "sha1";
    case HashType::c4: return "c4";
  }
  return "";
}

std::optional<HashType> hashTypeFromName(const std::string& name) {
  for (HashType t : kAll)
    if (name == hashTypeName(t)) return t;
  return std::nullopt;
}

std::optional<std::string> fileDigest(const std::string& path, HashType t, Fs& fs) {
  switch (t) {
    case HashType::xxh64: return hashFile(path, {}, fs);
    case HashType::xxh3: return xxh3(path, false, fs);
    case HashType::xxh128: return xxh3(path, true, fs);
    case HashType::md5:
    case HashType::sha1: {
      unsigned len = 0;
      auto d = evp(path, t == HashType::md5 ? EVP_md5() : EVP_sha1(), &len, fs);
      if (!d) return std::nullopt;
      return lowerHex(d->data(), len);
    }
    case HashType::c4: {
      unsigned len = 0;
      auto d = evp(path, EVP_sha512(), &len, fs);
      if (!d || len != 64) return std::nullopt;
      std::array<unsigned char, 64> sha{};
      std::copy(d->begin(), d->begin() + 64, sha.begin());
      return c4FromSha512(sha);
    }
  }
  return std::nullopt;
}

bool sameDigest(HashType t, const std::string& a, const std::string& b) {
  if (t == HashType::c4) return a == b;  // base 58: case is part of the value
  return sameIgnoringAsciiCase(a, b);
}

}  // namespace tolverdine
