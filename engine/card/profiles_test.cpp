#include "engine/card/profiles.h"

#include <gtest/gtest.h>

#include "engine/base/base64.h"
#include "engine/base/files.h"
#include "engine/card/signature.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

TEST(Signature, Base64AndOnlyTheSignedBytesUnderTheRightKey) {
  for (const std::string& s : std::vector<std::string>{"", "fo", "foo", std::string("\0\xff", 2)})
    EXPECT_EQ(base64Decode(base64Encode(s)), s);
  EXPECT_EQ(base64Encode("fo"), "Zm8=");
  for (const char* bad : {"Zm8", "Zm8=\n", "Z=8=", "Zm==Zm8=", "Zm8*", "A==="})
    EXPECT_FALSE(base64Decode(bad)) << bad;

  // A signature verifies only the signed bytes under the right key.
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

struct PackDir {
  TempDir dir;
  Ed25519Key key = Ed25519Key::generate();
  std::string pub = key.publicKeyBase64();
  std::string path = dir.path + "/support/profiles.json";

  std::string sign(const std::string& bytes) const { return signDetached(bytes, key) + "\n"; }
  void put(const std::string& bytes, const std::string& sig) {
    putFile(path, bytes);
    writeFile(path + ".sig", sig);
  }
  void putSigned(const std::string& bytes) { put(bytes, sign(bytes)); }
};

std::string packJson(long long version, const std::string& extra = "") {
  return "{\"version\":" + std::to_string(version) +
         ",\"profiles\":[{\"id\":\"any\",\"brand\":\"Acme\",\"line\":\"X\"}]" + extra + "}";
}

// A pack counts only when signed by the key, newer than the built-in set and well formed; else
// the built-in profiles and model names stay.
TEST(Profiles, DecodingReadingAndInstallingPacks) {
  EXPECT_EQ(decodePack(encodePack(Profiles::defaultPack())), Profiles::defaultPack());
  EXPECT_FALSE(decodePack(std::string(100000, '[') + std::string(100000, ']')));  // deep nesting
  auto ok = decodePack(
      R"({"version":2,"x":1,"profiles":[{"id":"a","brand":"B","line":"L","dirs":null}],
                           "models":{"ILME-FX3":"Fx"}})");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->models->at("ILME-FX3"), "Fx");
  // One wrong member each: the version, the list, a profile, the model names.
  for (const char* bad :
       {R"({"version":2.5,"profiles":[]})", R"({"version":2,"profiles":[{"id":"a","brand":"b"}]})",
        R"({"version":2,"profiles":[],"models":{"a":1}})"})
    EXPECT_FALSE(decodePack(bad)) << bad;

  PackDir d;
  std::string v1 = packJson(1), v2 = packJson(2), v3 = packJson(3);
  EXPECT_FALSE(Profiles::pack(d.path, d.pub));          // nothing there
  d.putSigned(v2);                                      // the signature file ends in a line break
  ASSERT_EQ(Profiles::load(d.path, d.pub).size(), 1u);  // it replaces the built-in list
  EXPECT_FALSE(Profiles::pack(d.path, Ed25519Key::generate().publicKeyBase64()));
  d.put(v2, "  \r\n" + signDetached(v2, d.key) + "\r\n\t ");
  EXPECT_TRUE(Profiles::pack(d.path, d.pub));
  ::unlink((d.path + ".sig").c_str());
  EXPECT_FALSE(Profiles::pack(d.path, d.pub));
  for (const std::string& refused : {v1, std::string("{\"version\":5,\"profiles\":\"none\"}")}) {
    d.putSigned(refused);
    EXPECT_EQ(Profiles::load(d.path, d.pub), defaultProfiles()) << refused;
  }
  // A newer pack's model names are merged into the built-in ones.
  d.putSigned(packJson(2, ",\"models\":{\"ILME-FX3\":\"FX3 Cinema\",\"NEW-1\":\"N1\"}"));
  ModelNames n = modelNames(d.path, d.pub);
  EXPECT_EQ(n.at("ILME-FX3"), "FX3 Cinema");
  EXPECT_EQ(n.at("ILME-FX6"), "FX6");
  EXPECT_EQ(n.size(), baseModelNames().size() + 1);

  // Installing (fetching is ProfileFetch's test): an older pack is refused, a broken installed
  // one counts as none, an unwritable destination refuses.
  PackDir i;
  EXPECT_FALSE(Profiles::install(v1, i.sign(v1), i.path, i.pub));  // no newer than built in
  ASSERT_TRUE(Profiles::install(v3, i.sign(v3), i.path, i.pub));   // creates the folder
  EXPECT_FALSE(Profiles::install(v2, i.sign(v2), i.path, i.pub));
  writeFile(i.path, v3 + "x");
  EXPECT_TRUE(Profiles::install(v2, i.sign(v2), i.path, i.pub));
  EXPECT_EQ(slurp(i.path + ".sig"), i.sign(v2));  // kept exactly as received
  EXPECT_FALSE(Profiles::install(v3, i.sign(v3), i.path + "/profiles.json", i.pub));
}

}  // namespace
}  // namespace tolverdine
