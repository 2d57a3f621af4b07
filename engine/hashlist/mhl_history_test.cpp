#include "engine/hashlist/mhl_history.h"

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/base/term_text.h"
#include "engine/hashlist/c4.h"
#include "engine/hashlist/digest.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

std::string hashlist(const std::string& process, const std::string& ignore,
                     const std::string& hashes) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<hashlist version=\"2.0\" xmlns=\"urn:ASC:MHL:v2.0\">\n"
         "  <creatorinfo><creationdate>2026-01-10T10:00:00+00:00</creationdate>"
         "<hostname>cart</hostname><tool version=\"1.0\">other</tool></creatorinfo>\n"
         "  <processinfo><process>" +
         process + "</process><ignore>" + ignore +
         "</ignore></processinfo>\n"
         "  <hashes>\n" +
         hashes + "  </hashes>\n</hashlist>\n";
}

// A document type is refused unexpanded: a billion laughs, an external file, a plain entity.
TEST(MHLHistory, DocumentTypesAreRefusedUnexpanded) {
  auto withDoctype = [&](const std::string& dtd, const std::string& path) {
    std::string x = hashlist(
        "transfer", "", "<hash><path>" + path + "</path><xxh64>0123456789abcdef</xxh64></hash>\n");
    return x.insert(x.find("<hashlist"), dtd);
  };
  ASSERT_TRUE(parseMHLGeneration(withDoctype("", "a.mov")));
  std::string bomb = "<!DOCTYPE hashlist [<!ENTITY l0 \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    bomb += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) bomb += "&l" + std::to_string(i - 1) + ";";
    bomb += "\">";
  }
  TempDir t;
  writeFile(t.path + "/secret", "SECRET");
  const std::string file = "\"file://" + t.path + "/secret\"";
  for (auto [dtd, path] : {std::pair{bomb + "]>\n", std::string("&l9;")},
                           {"<!DOCTYPE hashlist [<!ENTITY s SYSTEM " + file + ">]>\n", "&s;"},
                           {"<!DOCTYPE hashlist [<!ENTITY s \"b.mov\">]>\n", "&s;"},
                           {"<!DOCTYPE hashlist SYSTEM " + file + ">\n", "a"}})
    EXPECT_FALSE(parseMHLGeneration(withDoctype(dtd, path))) << dtd.substr(0, 40);
  EXPECT_FALSE(parseMHLChain("<!DOCTYPE ascmhldirectory [<!ENTITY s \"x\">]><ascmhldirectory/>"));
  EXPECT_TRUE(parseMHLChain("<ascmhldirectory/>"));
}

TEST(MHLHistory, DigestsOfEveryTypeAgainstKnownValues) {
  TempDir t;
  std::string f = t.path + "/abc";
  writeFile(f, "abc");
  for (auto [type, want] : std::vector<std::pair<HashType, std::string>>{
           {HashType::xxh64, "44bc2cf5ad770999"},
           {HashType::xxh3, "78af5f94892f3950"},
           {HashType::xxh128, "06b05ab6733a618578af5f94892f3950"},
           {HashType::md5, "900150983cd24fb0d6963f7d28e17f72"},
           {HashType::sha1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
           {HashType::c4, c4Id("abc")}}) {
    EXPECT_EQ(fileDigest(f, type), want);
    EXPECT_EQ(hashTypeFromName(hashTypeName(type)), type);
  }
  // Past one read block, so the streaming C4 sees more than one update.
  std::string big(3 << 20, 'z');
  big[12345] = 'q';
  writeFile(f, big);
  EXPECT_EQ(fileDigest(f, HashType::c4), c4Id(big));
  EXPECT_FALSE(fileDigest(t.path + "/none", HashType::md5));
  EXPECT_TRUE(sameDigest(HashType::md5, "900150983CD24FB0D6963F7D28E17F72",
                         "900150983cd24fb0d6963f7d28e17f72"));
  EXPECT_FALSE(sameDigest(HashType::c4, "c4Ab", "c4ab"));
  EXPECT_FALSE(hashTypeFromName("sha256"));
}

TEST(MHLHistory, FailedHashesMovesAndStrongestType) {
  TempDir t;
  std::string root = t.path + "/P";
  ASSERT_TRUE(mkdirs(root + "/ascmhl"));
  writeFile(
      root + "/ascmhl/0001_P_2026-01-10_100000Z.mhl",
      hashlist(
          "transfer", "<pattern>.DS_Store</pattern><pattern>*.tmp</pattern>",
          "<hash><path size=\"3\">a.mov</path><xxh64 action=\"original\">11</xxh64>"
          "<md5 action=\"original\">22</md5><sha256 action=\"original\">99</sha256></hash>\n"
          "<hash><path size=\"3\">old.mov</path><xxh128 action=\"original\">33</xxh128></hash>\n"
          "<hash><path size=\"3\">b.mov</path><c4 action=\"original\">c4x</c4></hash>\n"
          "<directoryhash><path>sub</path><content><xxh64>44</xxh64></content></directoryhash>\n"));
  writeFile(
      root + "/ascmhl/0002_P_2026-01-11_100000Z.mhl",
      hashlist(
          "in-place", "<pattern>sub/cache/</pattern>",
          "<hash><path size=\"3\">a.mov</path><sha1 action=\"failed\">55</sha1>"
          "<xxh3 action=\"failed\">66</xxh3></hash>\n"
          "<hash><path size=\"3\">new.mov</path><previousPath>old.mov</previousPath>"
          "<xxh64 action=\"failed\">77</xxh64></hash>\n"
          "<hash><path size=\"3\">b.mov</path><xxh3 action=\"verified\">88</xxh3>"
          "<c4 action=\"failed\">c4y</c4></hash>\n"
          "<hash><path size=\"3\">only-failed.mov</path><md5 action=\"failed\">aa</md5></hash>\n"));
  writeFile(root + "/ascmhl/notes.mhl", "not xml");
  MHLHistory h = readMHLHistory(root);
  EXPECT_EQ(h.generations.size(), 3u);
  EXPECT_EQ(h.unreadable, std::vector<std::string>{"notes.mhl"});
  EXPECT_EQ(h.files.count("old.mov"), 0u) << "a moved file is expected at its new place only";
  ASSERT_EQ(h.files.count("new.mov"), 1u);
  EXPECT_EQ(h.files.count("sub"), 0u) << "a directory hash names no file";

  // Failed values never become the expectation; the older entry's strongest type does; the
  // newest entry with a usable value wins over an older, stronger one.
  auto expected = [&](const std::string& path) {
    auto e = expectedHash(h.files[path]);
    return e ? std::string(hashTypeName(e->type)) + " " + e->value : "none";
  };
  EXPECT_EQ(expected("a.mov"), "md5 22");
  EXPECT_EQ(expected("new.mov"), "xxh128 33");
  EXPECT_EQ(expected("b.mov"), "xxh3 88");
  EXPECT_EQ(expected("only-failed.mov"), "none");

  EXPECT_EQ(h.ignore, (std::vector<std::string>{".DS_Store", "*.tmp", "sub/cache/"}));
  // A trailing slash names folders only; an inner slash anchors at the root.
  for (auto [path, dir, ignored] : {std::tuple{"x/y/.DS_Store", false, true},
                                    {"x/a.tmp", false, true},
                                    {"sub/cache", true, true},
                                    {"sub/cache/f.bin", false, true},
                                    {"sub/cache", false, false},
                                    {"other/sub/cache/f.bin", false, false},
                                    {"x/a.tmpx", false, false}})
    EXPECT_EQ(mhlIgnored(path, dir, h.ignore), ignored) << path;
}

TEST(MHLHistory, PrintableNames) {
  EXPECT_EQ(printableName("클립 01.mov"), "클립 01.mov");
  EXPECT_EQ(printableName("a\rb\x1B[2Kc\td\ne\\f"), "a\\rb\\x1B[2Kc\\td\\ne\\\\f");
  EXPECT_EQ(printableName("x\xFF\xC3y\x7F"), "x\\xFF\\xC3y\\x7F");
  EXPECT_EQ(printableName("\xC2\x9B"
                          "1m\xE2\x80\xAEvom.exe"),
            "\\u{009B}1m\\u{202E}vom.exe");
  EXPECT_EQ(printableName("\xED\xA0\x80"), "\\xED\\xA0\\x80") << "a surrogate is not UTF-8";
}

}  // namespace
}  // namespace tolverdine
