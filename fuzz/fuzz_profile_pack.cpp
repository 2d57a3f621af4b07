// Any bytes as a camera-profile pack and its signature: the first line is taken as the signature
// text, the rest as the pack. A pack must decode, encode and decode to the same; a signature from
// the input must not verify (the key's private half is not in the input); the same bytes signed
// here must verify, and must fail again after one bit of the pack changes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/card/camera_profile.h"
#include "engine/card/profiles.h"
#include "engine/card/signature.h"

using namespace tolverdine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  size_t nl = in.find('\n');
  std::string_view sig = nl == std::string_view::npos ? std::string_view() : in.substr(0, nl);
  std::string_view pack = nl == std::string_view::npos ? in : in.substr(nl + 1);

  static const Ed25519Key key = *Ed25519Key::fromRaw(std::string(32, '\x5a'));
  static const std::string pub = key.publicKeyBase64();
  if (verifySignature(pack, trimSignature(sig), pub)) std::abort();
  verifySignature(pack, trimSignature(sig), profilesPublicKey);

  std::string good = signDetached(pack, key);
  if (!verifySignature(pack, trimSignature(" " + good + "\r\n"), pub)) std::abort();
  if (!pack.empty()) {
    std::string bent(pack);
    bent[bent.size() / 2] ^= 1;
    if (verifySignature(bent, good, pub)) std::abort();
  }

  auto p = decodePack(pack);
  if (!p) return 0;
  auto again = decodePack(encodePack(*p));
  if (!again || *again != *p) std::abort();
  return 0;
}
