#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/base/names.h"
#include "engine/copy/copy.h"
#include "engine/hashlist/c4.h"
#include "engine/hashlist/digest.h"
#include "engine/hashlist/mhl.h"
#include "engine/hashlist/mhl_folder.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

ShellOutput verify(const std::string& root) {
  return shellOutput(std::string(TOLVERDINE_BINARY) + " verify '" + root + "' 2>&1");
}

Verified item(const std::string& dest, const std::string& content) {
  Verified v;
  v.row.rel = dest;
  v.row.dest = dest;
  v.row.size = static_cast<int64_t>(content.size());
  v.hash = xxh64(content);
  return v;
}

bool has(const ShellOutput& r, const std::string& line) {
  return r.out.find(line + "\n") != std::string::npos;
}

TEST(VerifyCommand, ChangedMissingMovedAndBrokenLists) {
  TempDir t;
  std::string root = t.path + "/20260305_P";
  NameSet names;
  names.reports = "_REPORTS";
  ASSERT_TRUE(mkdirs(root + "/01/A"));
  std::map<std::string, std::string> files = {
      {"01/A/a.mov", "alpha"}, {"01/A/b&<.mov", "bravo"}, {"01/A/c.mov", "charlie"}};
  std::vector<Verified> items;
  for (auto& [p, c] : files) {
    writeFile(root + "/" + p, c);
    items.push_back(item(p, c));
  }
  ASSERT_TRUE(writeMHLGeneration(root, items, names, std::nullopt, 1772703502));
  // A later card, and a move of one clip recorded by an in-place generation.
  writeFile(root + "/01/A/d.mov", "delta");
  ASSERT_TRUE(
      writeMHLGeneration(root, {item("01/A/d.mov", "delta")}, names, std::nullopt, 1772703600));
  ASSERT_TRUE(mkdirs(root + "/01/B"));
  ASSERT_EQ(::rename((root + "/01/A/c.mov").c_str(), (root + "/01/B/c.mov").c_str()), 0);
  auto renames =
      writeMHLRenames(root, {{"01/A/c.mov", "01/B/c.mov", 7, xxh64("charlie")}}, names, 1772703700);
  ASSERT_TRUE(renames);
  // Renames generations of earlier builds carried no ignore list: the reports folder stays
  // ignored by what the other generations say.
  std::string renamed;
  ASSERT_TRUE(readFile(*renames, &renamed));
  const size_t from = renamed.find("    <ignore>"), to = renamed.find("</ignore>\n");
  ASSERT_NE(from, std::string::npos);
  writeFile(*renames, renamed.erase(from, to + 10 - from));
  rewriteChain(root + "/ascmhl");
  ASSERT_TRUE(mkdirs(root + "/_REPORTS"));
  writeFile(root + "/_REPORTS/A_job.json", "{}");

  ShellOutput ok = verify(root);
  EXPECT_EQ(ok.code, 0) << ok.out;
  EXPECT_EQ(ok.out.find("해시 목록에 없음"), std::string::npos) << ok.out;
  for (const char* p : {"01/A/a.mov", "01/A/b&<.mov", "01/B/c.mov", "01/A/d.mov"})
    EXPECT_TRUE(has(ok, std::string("정상: ") + p)) << ok.out;
  EXPECT_EQ(ok.out.find("01/A/c.mov"), std::string::npos)
      << "a moved file is expected at its new place only";

  writeFile(root + "/01/A/a.mov", "alphA");
  ::unlink((root + "/01/A/d.mov").c_str());
  ShellOutput bad = verify(root);
  EXPECT_EQ(bad.code, 1);
  EXPECT_TRUE(has(bad, "변경됨: 01/A/a.mov")) << bad.out;
  EXPECT_TRUE(has(bad, "없음: 01/A/d.mov")) << bad.out;
  EXPECT_TRUE(has(bad, "정상: 01/B/c.mov")) << bad.out;
  writeFile(root + "/01/A/a.mov", "alpha");
  writeFile(root + "/01/A/d.mov", "delta");
  EXPECT_EQ(verify(root).code, 0);

  // An edited generation no longer matches its C4 in the chain; a cut one is reported, no crash.
  std::vector<std::string> gens;
  for (auto& n : listFolder(root + "/ascmhl"))
    if (n.size() > 4 && n.substr(n.size() - 4) == ".mhl") gens.push_back(n);
  std::sort(gens.begin(), gens.end());
  ASSERT_EQ(gens.size(), 3u);
  std::string g1 = root + "/ascmhl/" + gens[0], text;
  ASSERT_TRUE(readFile(g1, &text));
  std::string edited = text;
  edited[edited.find("TOLVERDINE")] = 't';
  writeFile(g1, edited);
  ShellOutput ed = verify(root);
  EXPECT_EQ(ed.code, 1);
  EXPECT_TRUE(has(ed, "체인 불일치: " + gens[0])) << ed.out;
  EXPECT_TRUE(has(ed, "체인 정상: " + gens[1])) << ed.out;
  for (size_t cut : {size_t{0}, size_t{1}, text.size() / 3, text.size() - 12}) {
    writeFile(g1, text.substr(0, cut));
    ShellOutput tr = verify(root);
    EXPECT_EQ(tr.code, 1);
    EXPECT_TRUE(has(tr, "손상된 해시 목록: " + gens[0])) << tr.out;
  }
  writeFile(g1, text);
  ::unlink((root + "/ascmhl/ascmhl_chain.xml").c_str());
  ShellOutput nc = verify(root);
  EXPECT_EQ(nc.code, 1);
  EXPECT_TRUE(has(nc, "손상된 해시 목록: ascmhl_chain.xml")) << nc.out;
  EXPECT_EQ(verify(t.path).code, 1) << "a folder without hash lists is not verified";
}

// Hash lists as another tool writes them, by hand: every hash type, hashes marked "failed", a
// renames generation, and a chain naming them with their C4 ids.
struct History {
  std::string root;
  std::vector<std::pair<std::string, std::string>> gens;  // name, text
  void add(const std::string& process, const std::string& hashes) {
    char name[64];
    std::snprintf(name, sizeof name, "%04zu_P_2026-01-%02zu_100000Z.mhl", gens.size() + 1,
                  gens.size() + 10);
    std::string x =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<hashlist version=\"2.0\" xmlns=\"urn:ASC:MHL:v2.0\">\n"
        "  <creatorinfo>\n    <creationdate>2026-01-10T10:00:00+00:00</creationdate>\n"
        "    <hostname>cart</hostname>\n    <tool version=\"1.0\">other</tool>\n  </creatorinfo>\n"
        "  <processinfo>\n    <process>" +
        process +
        "</process>\n    <ignore>\n"
        "      <pattern>.DS_Store</pattern>\n      <pattern>ascmhl</pattern>\n"
        "      <pattern>ascmhl/</pattern>\n      <pattern>*.tmp</pattern>\n    </ignore>\n"
        "  </processinfo>\n  <hashes>\n" +
        hashes + "  </hashes>\n</hashlist>\n";
    gens.push_back({name, x});
    mkdirs(root + "/ascmhl");
    writeFile(root + "/ascmhl/" + name, x);
    std::string chain =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<ascmhldirectory xmlns=\"urn:ASC:MHL:DIRECTORY:v2.0\">\n";
    for (size_t i = 0; i < gens.size(); ++i)
      chain += "  <hashlist sequencenr=\"" + std::to_string(i + 1) + "\">\n    <path>" +
               gens[i].first + "</path>\n    <c4>" + c4Id(gens[i].second) +
               "</c4>\n  </hashlist>\n";
    writeFile(root + "/ascmhl/ascmhl_chain.xml", chain + "</ascmhldirectory>\n");
  }
};

std::string entry(const std::string& path, const std::string& hashes,
                  const std::string& prev = "") {
  return "    <hash>\n      <path size=\"4\" lastmodificationdate=\"2026-01-10T10:00:00+00:00\">" +
         path + "</path>\n" +
         (prev.empty() ? "" : "      <previousPath>" + prev + "</previousPath>\n") + hashes +
         "    </hash>\n";
}

std::string hashOf(const std::string& type, const std::string& value,
                   const std::string& action = "original") {
  return "      <" + type + " action=\"" + action + "\" hashdate=\"2026-01-10T10:00:00+00:00\">" +
         value + "</" + type + ">\n";
}

std::string digest(const std::string& path, HashType t) {
  return fileDigest(path, t).value_or("?");
}

TEST(VerifyCommand, AnyHashTypeFailedEntriesMovesAndUnlistedFiles) {
  TempDir t;
  History h{t.path + "/20260110_P", {}};
  const std::string& root = h.root;
  const std::vector<std::string> types = {"xxh64", "xxh3", "xxh128", "md5", "sha1", "c4"};
  ASSERT_TRUE(mkdirs(root + "/t"));
  std::string first;
  for (const auto& ty : types) {
    std::string p = root + "/t/" + ty + ".bin";
    writeFile(p, "content of " + ty);
    std::string v = digest(p, *hashTypeFromName(ty));
    if (ty == "md5")
      for (auto& c : v) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    first += entry("t/" + ty + ".bin", hashOf(ty, v));
  }
  writeFile(root + "/f.bin", "good");
  writeFile(root + "/old.mov", "move");
  writeFile(root + "/cr\rname.bin", "cr");
  first += entry("f.bin", hashOf("md5", digest(root + "/f.bin", HashType::md5)) +
                              hashOf("xxh64", digest(root + "/f.bin", HashType::xxh64)));
  first += entry("old.mov", hashOf("xxh128", digest(root + "/old.mov", HashType::xxh128)));
  first +=
      entry("cr&#13;name.bin", hashOf("xxh64", digest(root + "/cr\rname.bin", HashType::xxh64)));
  h.add("transfer", first);
  // Another tool moved old.mov and found f.bin changed: it records what it found as "failed".
  ASSERT_EQ(::rename((root + "/old.mov").c_str(), (root + "/new.mov").c_str()), 0);
  writeFile(root + "/f.bin", "bad!");
  h.add(
      "in-place",
      entry("new.mov", hashOf("xxh64", digest(root + "/new.mov", HashType::xxh64), "verified"),
            "old.mov") +
          entry("f.bin", hashOf("sha1", digest(root + "/f.bin", HashType::sha1), "failed") +
                             hashOf("xxh64", digest(root + "/f.bin", HashType::xxh64), "failed")));
  // Files no list names: reported, escaped; ignored names are not.
  writeFile(root + "/extra.mov", "x");
  writeFile(root + "/evil\r\x1B[2K.mov", "x");
  writeFile(root + "/scratch.tmp", "x");
  writeFile(root + "/t/.DS_Store", "x");

  ShellOutput bad = verify(root);
  EXPECT_EQ(bad.code, 1) << "a hash marked failed is not what the file should be\n" << bad.out;
  EXPECT_TRUE(has(bad, "변경됨: f.bin")) << bad.out;
  for (const auto& ty : types) EXPECT_TRUE(has(bad, "정상: t/" + ty + ".bin")) << bad.out;
  EXPECT_TRUE(has(bad, "정상: new.mov")) << bad.out;
  EXPECT_EQ(bad.out.find("old.mov"), std::string::npos) << bad.out;
  EXPECT_TRUE(has(bad, "정상: cr\\rname.bin")) << bad.out;
  EXPECT_TRUE(has(bad, "해시 목록에 없음: extra.mov")) << bad.out;
  EXPECT_TRUE(has(bad, "해시 목록에 없음: evil\\r\\x1B[2K.mov")) << bad.out;
  EXPECT_EQ(bad.out.find('\r'), std::string::npos) << "no raw carriage return reaches the terminal";
  EXPECT_EQ(bad.out.find('\x1B'), std::string::npos);
  EXPECT_EQ(bad.out.find("scratch.tmp"), std::string::npos);
  EXPECT_EQ(bad.out.find(".DS_Store"), std::string::npos);
  EXPECT_NE(bad.out.find("해시 목록에 없는 파일 2개"), std::string::npos) << bad.out;

  // A folder with a history of its own (nested) is checked by its lists, not called unlisted.
  History inner{root + "/B", {}};
  ASSERT_TRUE(mkdirs(inner.root));
  writeFile(inner.root + "/x.bin", "inner");
  inner.add("transfer",
            entry("x.bin", hashOf("sha1", digest(inner.root + "/x.bin", HashType::sha1))));

  // Restored, everything listed matches: files no list names do not fail the folder.
  writeFile(root + "/f.bin", "good");
  ShellOutput good = verify(root);
  EXPECT_EQ(good.code, 0) << good.out;
  EXPECT_TRUE(has(good, "정상: f.bin")) << good.out;
  EXPECT_TRUE(has(good, "정상: B/x.bin")) << good.out;
  EXPECT_TRUE(has(good, "체인 정상: B/ascmhl/0001_P_2026-01-10_100000Z.mhl")) << good.out;
  EXPECT_EQ(good.out.find("해시 목록에 없음: B/"), std::string::npos) << good.out;
  writeFile(inner.root + "/x.bin", "inneR");
  ShellOutput innerBad = verify(root);
  EXPECT_EQ(innerBad.code, 1);
  EXPECT_TRUE(has(innerBad, "변경됨: B/x.bin")) << innerBad.out;
  writeFile(inner.root + "/x.bin", "inner");

  // Each type is really checked: one changed byte in each file is caught.
  for (const auto& ty : types) {
    std::string p = root + "/t/" + ty + ".bin";
    writeFile(p, "content of " + ty + "!");
    ShellOutput c = verify(root);
    EXPECT_EQ(c.code, 1) << ty;
    EXPECT_TRUE(has(c, "변경됨: t/" + ty + ".bin")) << c.out;
    writeFile(p, "content of " + ty);
  }

  // A file whose every recorded hash is a failed one cannot be proven.
  writeFile(root + "/lost.mov", "zz");
  h.add("in-place",
        entry("lost.mov", hashOf("md5", digest(root + "/lost.mov", HashType::md5), "failed")));
  ShellOutput nohash = verify(root);
  EXPECT_EQ(nohash.code, 1);
  EXPECT_TRUE(has(nohash, "검증할 해시 없음: lost.mov")) << nohash.out;
  // A list naming a place outside the folder is not followed there.
  writeFile(t.path + "/outside.bin", "o");
  h.add("in-place",
        entry("../outside.bin", hashOf("md5", digest(t.path + "/outside.bin", HashType::md5))));
  ShellOutput out = verify(root);
  EXPECT_EQ(out.code, 1);
  EXPECT_TRUE(has(out, "읽을 수 없음: ../outside.bin")) << out.out;
  // A listed file gone is missing.
  ::unlink((root + "/lost.mov").c_str());
  h.add("in-place", entry("lost.mov", hashOf("md5", "00")));
  ShellOutput gone = verify(root);
  EXPECT_EQ(gone.code, 1);
  EXPECT_NE(gone.out.find("\n없음: lost.mov\n"), std::string::npos) << gone.out;
}

}  // namespace
}  // namespace tolverdine
