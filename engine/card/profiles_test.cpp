#include "engine/card/profiles.h"

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/card/signature.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

struct PackDir {
  TempDir dir;
  Ed25519Key key = Ed25519Key::generate();
  std::string pub = key.publicKeyBase64();
  std::string path = dir.path + "/support/profiles.json";

  std::string sign(const std::string& bytes) const { return signDetached(bytes, key) + "\n"; }
  void put(const std::string& bytes, const std::string& sig) {
    mkdirs(dir.path + "/support");
    writeFile(path, bytes);
    writeFile(path + ".sig", sig);
  }
  void putSigned(const std::string& bytes) { put(bytes, sign(bytes)); }
};

std::string packJson(long long version, const std::string& extra = "") {
  return "{\"version\":" + std::to_string(version) +
         ",\"profiles\":[{\"id\":\"any\",\"brand\":\"Acme\",\"line\":\"X\"}]" + extra + "}";
}

TEST(Profiles, BuiltInTablesDefaultPackAndDecodedShapes) {
  const auto& p = defaultProfiles();
  for (const auto& q : p) EXPECT_TRUE(q.rootExt || (q.dirs && q.dirs->size() == 1)) << q.id;
  // Video trees of a maker come before its still folders.
  auto at = [&](const std::string& id) {
    return std::find_if(p.begin(), p.end(), [&](const CameraProfile& c) { return c.id == id; }) -
           p.begin();
  };
  EXPECT_LT(at("sony-xavcs"), at("sony-still"));
  EXPECT_LT(at("canon-cinema"), at("canon-still"));

  ProfilePack d = Profiles::defaultPack();
  EXPECT_EQ(d.profiles, defaultProfiles());
  EXPECT_EQ(decodePack(encodePack(d)), d);
  EXPECT_FALSE(decodePack(std::string(100000, '[') + std::string(100000, ']')));  // deep nesting

  auto ok = decodePack(
      R"({"version":2,"x":1,"profiles":[{"id":"a","brand":"B","line":"L","dirs":null,"more":[]}],
                           "models":{"ILME-FX3":"Fx"}})");
  ASSERT_TRUE(ok);
  EXPECT_FALSE(ok->profiles[0].dirs);
  EXPECT_EQ(ok->models->at("ILME-FX3"), "Fx");
  // One wrong member each: the JSON, the version, the list, a profile, the model names.
  for (const char* bad :
       {"[]", R"({"version":2,"profiles":[])", "{}", R"({"version":2})",
        R"({"version":"2","profiles":[]})", R"({"version":2.5,"profiles":[]})",
        R"({"version":18446744073709551615,"profiles":[]})", R"({"version":2,"profiles":{}})",
        R"({"version":2,"profiles":[1]})", R"({"version":2,"profiles":[{"id":"a","brand":"b"}]})",
        R"({"version":2,"profiles":[{"id":"a","brand":"b","line":3}]})",
        R"({"version":2,"profiles":[{"id":"a","brand":"b","line":"l","dirs":"D"}]})",
        R"({"version":2,"profiles":[{"id":"a","brand":"b","line":"l","dirs":[1]}]})",
        R"({"version":2,"profiles":[],"models":[]})",
        R"({"version":2,"profiles":[],"models":{"a":1}})"})
    EXPECT_FALSE(decodePack(bad)) << bad;
}

TEST(Profiles, ReadingAnInstalledPackAndItsModelNames) {
  PackDir d;
  EXPECT_EQ(modelNames(d.path, d.pub), baseModelNames());
  EXPECT_FALSE(Profiles::pack(d.path, d.pub));  // nothing there
  EXPECT_EQ(Profiles::load(d.path, d.pub), defaultProfiles());

  std::string v2 = packJson(2);
  d.putSigned(v2);  // the signature file ends in a line break
  auto p = Profiles::pack(d.path, d.pub);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->version, 2);
  // A newer pack replaces the built-in list entirely.
  ASSERT_EQ(Profiles::load(d.path, d.pub).size(), 1u);
  EXPECT_EQ(Profiles::load(d.path, d.pub)[0].id, "any");
  EXPECT_FALSE(Profiles::pack(d.path, Ed25519Key::generate().publicKeyBase64()));

  // Which bytes a signature covers is the signature's test; here the file's blanks and absence.
  std::string sig = signDetached(v2, d.key);
  d.put(v2 + " ", sig);
  EXPECT_FALSE(Profiles::pack(d.path, d.pub));
  d.put(v2, "  \r\n" + sig + "\r\n\t ");
  EXPECT_TRUE(Profiles::pack(d.path, d.pub));
  ::unlink((d.path + ".sig").c_str());
  EXPECT_FALSE(Profiles::pack(d.path, d.pub));

  d.putSigned(packJson(1));  // validly signed, but not newer than the built-in set
  EXPECT_FALSE(Profiles::pack(d.path, d.pub));
  EXPECT_EQ(Profiles::load(d.path, d.pub), defaultProfiles());
  d.putSigned("{\"version\":5,\"profiles\":\"none\"}");  // signed, wrong shape
  EXPECT_FALSE(Profiles::pack(d.path, d.pub));
  EXPECT_EQ(Profiles::load(d.path, d.pub), defaultProfiles());

  // A newer pack's model names are merged into the built-in ones.
  d.putSigned(packJson(2, ",\"models\":{\"ILME-FX3\":\"FX3 Cinema\",\"NEW-1\":\"N1\"}"));
  ModelNames n = modelNames(d.path, d.pub);
  EXPECT_EQ(n.at("ILME-FX3"), "FX3 Cinema");
  EXPECT_EQ(n.at("NEW-1"), "N1");
  EXPECT_EQ(n.at("ILME-FX6"), "FX6");
  EXPECT_EQ(n.size(), baseModelNames().size() + 1);
  d.putSigned(packJson(1, ",\"models\":{\"ILME-FX3\":\"Old\"}"));  // version 1: ignored
  EXPECT_EQ(modelNames(d.path, d.pub), baseModelNames());
}

TEST(Profiles, InstallVersionRulesAndAtomicFiles) {
  PackDir d;
  std::string v1 = packJson(1), v2 = packJson(2), v3 = packJson(3);

  EXPECT_FALSE(Profiles::install(v1, d.sign(v1), d.path, d.pub));  // no newer than built in
  EXPECT_FALSE(exists(d.path));
  EXPECT_FALSE(Profiles::install(v2, d.sign(v3), d.path, d.pub));  // signature of other bytes
  EXPECT_FALSE(Profiles::install(v2, d.sign(v2), d.path, Ed25519Key::generate().publicKeyBase64()));
  EXPECT_FALSE(exists(d.path));

  ASSERT_TRUE(Profiles::install(v2, d.sign(v2), d.path, d.pub));   // creates the folder
  EXPECT_EQ(slurp(d.path + ".sig"), d.sign(v2));                   // kept exactly as received
  EXPECT_FALSE(Profiles::install(v2, d.sign(v2), d.path, d.pub));  // same version
  EXPECT_FALSE(Profiles::install(v1, d.sign(v1), d.path, d.pub));  // older
  ASSERT_TRUE(Profiles::install(v3, d.sign(v3), d.path, d.pub));
  EXPECT_EQ(Profiles::pack(d.path, d.pub)->version, 3);
  EXPECT_EQ(slurp(d.path), v3);

  // A broken installed pack counts as none: version 2 may go in again.
  writeFile(d.path, v3 + "x");
  EXPECT_TRUE(Profiles::install(v2, d.sign(v2), d.path, d.pub));
  // An unwritable destination refuses and leaves nothing half-made.
  std::string blocked = d.dir.path + "/file";
  writeFile(blocked, "x");
  EXPECT_FALSE(Profiles::install(v3, d.sign(v3), blocked + "/profiles.json", d.pub));
}

}  // namespace
}  // namespace tolverdine
