// Ed25519 detached signatures over whole files, on OpenSSL's EVP interface. Keys and signatures
// travel as base64 text: a 32-byte raw public key (44 characters), a 64-byte signature.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

typedef struct evp_pkey_st EVP_PKEY;

namespace tolverdine {

/// A signing or key failure; what says which step.
struct SignError {
  std::string what;
};

/// An Ed25519 private key. Owns its EVP_PKEY.
class Ed25519Key {
 public:
  /// A fresh random key. Throws SignError.
  static Ed25519Key generate();
  /// A PKCS#8 PEM private key ("openssl genpkey -algorithm ed25519"); absent when the text is
  /// no Ed25519 private key.
  static std::optional<Ed25519Key> fromPem(std::string_view pem);
  /// The 32-byte raw private key (the seed).
  static std::optional<Ed25519Key> fromRaw(std::string_view seed);

  std::string publicKeyBase64() const;
  std::string pem() const;
  EVP_PKEY* get() const { return key_.get(); }

 private:
  struct Free {
    void operator()(EVP_PKEY* k) const;
  };
  explicit Ed25519Key(EVP_PKEY* k) : key_(k) {}
  std::unique_ptr<EVP_PKEY, Free> key_;
};

/// True when signature (base64 of 64 bytes) is a valid Ed25519 signature of data under
/// publicKey (base64 of 32 raw bytes). Malformed text of either gives false.
bool verifySignature(std::string_view data, std::string_view signature, std::string_view publicKey);

/// The base64 text of the detached signature of data. Throws SignError.
std::string signDetached(std::string_view data, const Ed25519Key& key);

}  // namespace tolverdine
