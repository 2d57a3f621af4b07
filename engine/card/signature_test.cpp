#include "engine/card/signature.h"

#include <vector>

#include <gtest/gtest.h>

#include "engine/base/base64.h"
#include "engine/card/profiles.h"

namespace tolverdine {
namespace {

TEST(Base64, RoundTripAndStrictDecoding) {
  for (const std::string& s : std::vector<std::string>{"", "fo", "foo", std::string("\0\xff", 2)})
    EXPECT_EQ(base64Decode(base64Encode(s)), s);
  EXPECT_EQ(base64Encode("fo"), "Zm8=");
  for (const char* bad : {"Zm8", "Zm8=\n", "Z=8=", "Zm==Zm8=", "Zm8*", "A==="})
    EXPECT_FALSE(base64Decode(bad)) << bad;
}

TEST(Signature, VerifiesOnlyTheSignedBytesUnderTheRightKey) {
  Ed25519Key key = Ed25519Key::generate();
  std::string pub = key.publicKeyBase64(), data = "{\"version\":2}";
  std::string sig = signDetached(data, key);
  EXPECT_TRUE(verifySignature(data, sig, pub));
  EXPECT_FALSE(verifySignature(data + " ", sig, pub));
  EXPECT_FALSE(verifySignature(data, sig, Ed25519Key::generate().publicKeyBase64()));
  std::string raw = *base64Decode(sig);
  raw[10] ^= 0x40;
  // A changed signature, wrong lengths, garbage keys.
  for (auto [s, k] : {std::pair{base64Encode(raw), pub},
                      {base64Encode(raw.substr(0, 63)), pub},
                      {std::string(), pub},
                      {sig, pub.substr(0, 40)},
                      {sig, "not base64 at all"}})
    EXPECT_FALSE(verifySignature(data, s, k)) << s << " " << k;
  // A key survives its PEM form; the built-in key is a well-formed 32-byte key.
  EXPECT_EQ(Ed25519Key::fromPem(key.pem())->publicKeyBase64(), pub);
  EXPECT_FALSE(Ed25519Key::fromPem(""));
  EXPECT_EQ(base64Decode(profilesPublicKey)->size(), 32u);
  // RFC 8032 test 1: the seed gives this public key, and the empty message this signature.
  auto k = Ed25519Key::fromRaw(*base64Decode("nWGxne/9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A="));
  ASSERT_TRUE(k);
  EXPECT_EQ(k->publicKeyBase64(), "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=");
  EXPECT_EQ(
      signDetached("", *k),
      "5VZDAMNgrHKQhuLMgG6CioSHfx645dl02HPgZSJJAVVfuIIVkKM7rMYeOXAc+bRr0lv18FlbviRlUUFDjnoQCw==");
}

}  // namespace
}  // namespace tolverdine
