#include "engine/card/signature.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include "engine/base/base64.h"

namespace tolverdine {

namespace {
using MdCtx = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
using Pkey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

const unsigned char* bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.empty() ? "" : s.data());
}

bool isEd25519(EVP_PKEY* k) { return k && EVP_PKEY_get_id(k) == EVP_PKEY_ED25519; }
}  // namespace

void Ed25519Key::Free::operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }

Ed25519Key Ed25519Key::generate() {
  EVP_PKEY* k = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  if (!k) throw SignError{"Ed25519 키를 만들 수 없음"};
  return Ed25519Key(k);
}

std::optional<Ed25519Key> Ed25519Key::fromPem(std::string_view pem) {
  if (pem.size() > (1u << 20)) return std::nullopt;
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
  if (!bio) return std::nullopt;
  Pkey k(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
  if (!isEd25519(k.get())) return std::nullopt;
  return Ed25519Key(k.release());
}

std::optional<Ed25519Key> Ed25519Key::fromRaw(std::string_view seed) {
  if (seed.size() != 32) return std::nullopt;
  EVP_PKEY* k = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytes(seed), seed.size());
  if (!k) return std::nullopt;
  return Ed25519Key(k);
}

std::string Ed25519Key::publicKeyBase64() const {
  unsigned char raw[32];
  size_t len = sizeof raw;
  if (EVP_PKEY_get_raw_public_key(key_.get(), raw, &len) != 1 || len != 32) return "";
  return base64Encode(std::string_view(reinterpret_cast<char*>(raw), len));
}

std::string Ed25519Key::pem() const {
  Bio bio(BIO_new(BIO_s_mem()), &BIO_free);
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    return "";
  char* p = nullptr;
  long n = BIO_get_mem_data(bio.get(), &p);
  return n > 0 ? std::string(p, static_cast<size_t>(n)) : "";
}

bool verifySignature(std::string_view data, std::string_view signature,
                     std::string_view publicKey) {
  auto sig = base64Decode(signature);
  auto pub = base64Decode(publicKey);
  if (!sig || !pub || sig->size() != 64 || pub->size() != 32) return false;
  Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes(*pub), pub->size()),
           &EVP_PKEY_free);
  MdCtx ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    return false;
  // Ed25519 is one-shot: the whole message in one call.
  return EVP_DigestVerify(ctx.get(), bytes(*sig), sig->size(), bytes(data), data.size()) == 1;
}

std::string signDetached(std::string_view data, const Ed25519Key& key) {
  if (!isEd25519(key.get())) throw SignError{"Ed25519 키가 아님"};
  MdCtx ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    throw SignError{"서명을 시작할 수 없음"};
  unsigned char sig[64];
  size_t len = sizeof sig;
  if (EVP_DigestSign(ctx.get(), sig, &len, bytes(data), data.size()) != 1 || len != 64)
    throw SignError{"서명할 수 없음"};
  return base64Encode(std::string_view(reinterpret_cast<char*>(sig), len));
}

}  // namespace tolverdine
