#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

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

// `tolverdine verify root`: its exit code, each line it must print and each text it must not.
void expectVerify(const std::string& root, int code, const std::vector<std::string>& lines,
                  const std::vector<std::string>& absent = {}) {
  ShellOutput r = shellOutput(std::string(TOLVERDINE_BINARY) + " verify '" + root + "' 2>&1");
  EXPECT_EQ(r.code, code) << r.out;
  for (const auto& l : lines)
    EXPECT_NE(r.out.find(l + "\n"), std::string::npos) << l << "\n" << r.out;
  for (const auto& a : absent) EXPECT_EQ(r.out.find(a), std::string::npos) << a << "\n" << r.out;
}

Verified item(const std::string& dest, const std::string& content) {
  Verified v;
  v.row.rel = dest;
  v.row.dest = dest;
  v.row.size = static_cast<int64_t>(content.size());
  v.hash = xxh64(content);
  return v;
}

TEST(VerifyCommand, ChangedMissingMovedAndBrokenLists) {
  TempDir t;
  const std::string root = t.path + "/20260305_P";
  NameSet names;
  names.reports = "_REPORTS";
  ASSERT_TRUE(mkdirs(root + "/01/A"));
  std::vector<Verified> items;
  for (const auto& [p, c] : std::map<std::string, std::string>{
           {"01/A/a.mov", "alpha"}, {"01/A/b&<.mov", "bravo"}, {"01/A/c.mov", "charlie"}}) {
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
  std::string renamed = slurp(*renames);
  const size_t from = renamed.find("    <ignore>"), to = renamed.find("</ignore>\n");
  ASSERT_NE(from, std::string::npos);
  writeFile(*renames, renamed.erase(from, to + 10 - from));
  rewriteChain(root + "/ascmhl");
  ASSERT_TRUE(mkdirs(root + "/_REPORTS"));
  writeFile(root + "/_REPORTS/A_job.json", "{}");

  // A moved file is expected at its new place only.
  expectVerify(root, 0,
               {"정상: 01/A/a.mov", "정상: 01/A/b&<.mov", "정상: 01/B/c.mov", "정상: 01/A/d.mov"},
               {"해시 목록에 없음", "01/A/c.mov"});
  writeFile(root + "/01/A/a.mov", "alphA");
  ::unlink((root + "/01/A/d.mov").c_str());
  expectVerify(root, 1, {"변경됨: 01/A/a.mov", "없음: 01/A/d.mov", "정상: 01/B/c.mov"});
  writeFile(root + "/01/A/a.mov", "alpha");
  writeFile(root + "/01/A/d.mov", "delta");
  expectVerify(root, 0, {});

  // An edited generation no longer matches its C4 in the chain; a cut one is reported, no crash.
  std::vector<std::string> gens;
  for (auto& n : listFolder(root + "/ascmhl"))
    if (n.ends_with(".mhl")) gens.push_back(n);
  std::sort(gens.begin(), gens.end());
  ASSERT_EQ(gens.size(), 3u);
  const std::string g1 = root + "/ascmhl/" + gens[0], text = slurp(g1);
  std::string edited = text;
  edited[edited.find("TOLVERDINE")] = 't';
  writeFile(g1, edited);
  expectVerify(root, 1, {"체인 불일치: " + gens[0], "체인 정상: " + gens[1]});
  for (size_t cut : {size_t{0}, size_t{1}, text.size() / 3, text.size() - 12}) {
    writeFile(g1, text.substr(0, cut));
    expectVerify(root, 1, {"손상된 해시 목록: " + gens[0]});
  }
  writeFile(g1, text);
  ::unlink((root + "/ascmhl/ascmhl_chain.xml").c_str());
  expectVerify(root, 1, {"손상된 해시 목록: ascmhl_chain.xml"});
  expectVerify(t.path, 1, {});  // a folder without hash lists is not verified
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
    gens.push_back({name,
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<hashlist version=\"2.0\" xmlns=\"urn:ASC:MHL:v2.0\">\n"
                    "  <creatorinfo>\n    <creationdate>2026-01-10T10:00:00+00:00</creationdate>\n"
                    "    <hostname>cart</hostname>\n    <tool version=\"1.0\">other</tool>\n"
                    "  </creatorinfo>\n  <processinfo>\n    <process>" +
                        process +
                        "</process>\n    <ignore>\n      <pattern>.DS_Store</pattern>\n"
                        "      <pattern>ascmhl</pattern>\n      <pattern>ascmhl/</pattern>\n"
                        "      <pattern>*.tmp</pattern>\n    </ignore>\n  </processinfo>\n"
                        "  <hashes>\n" +
                        hashes + "  </hashes>\n</hashlist>\n"});
    mkdirs(root + "/ascmhl");
    writeFile(root + "/ascmhl/" + name, gens.back().second);
    std::string chain =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<ascmhldirectory xmlns=\"urn:ASC:MHL:DIRECTORY:v2.0\">\n";
    for (size_t i = 0; i < gens.size(); ++i)
      chain += "  <hashlist sequencenr=\"" + std::to_string(i + 1) + "\">\n    <path>" +
               gens[i].first + "</path>\n    <c4>" + c4Id(gens[i].second) +
               "</c4>\n  </hashlist>\n";
    writeFile(root + "/ascmhl/ascmhl_chain.xml", chain + "</ascmhldirectory>\n");
  }
  // One <hash> entry: the file's path as listed, one hash element per (type, action), each the
  // digest of the file at `file` (under root), and the path it was moved from.
  std::string entry(const std::string& path,
                    const std::vector<std::pair<std::string, std::string>>& hashes,
                    const std::string& file = "", const std::string& prev = "") const {
    std::string e =
        "    <hash>\n      <path size=\"4\" lastmodificationdate=\"2026-01-10T10:00:00+00:00\">" +
        path + "</path>\n" +
        (prev.empty() ? "" : "      <previousPath>" + prev + "</previousPath>\n");
    for (const auto& [type, action] : hashes) {
      std::string v = fileDigest(root + "/" + (file.empty() ? path : file), *hashTypeFromName(type))
                          .value_or("00");
      e += "      <" + type + " action=\"" + action + "\" hashdate=\"2026-01-10T10:00:00+00:00\">" +
           v + "</" + type + ">\n";
    }
    return e + "    </hash>\n";
  }
};

TEST(VerifyCommand, AnyHashTypeFailedEntriesMovesAndUnlistedFiles) {
  TempDir t;
  History h{t.path + "/20260110_P", {}};
  const std::string& root = h.root;
  const std::vector<std::string> types = {"xxh64", "xxh3", "xxh128", "md5", "sha1", "c4"};
  ASSERT_TRUE(mkdirs(root + "/t"));
  std::string first;
  for (const auto& ty : types) {
    writeFile(root + "/t/" + ty + ".bin", "content of " + ty);
    first += h.entry("t/" + ty + ".bin", {{ty, "original"}});
  }
  // Another tool's MD5 in capitals is the same hash.
  const size_t md5 = first.find("<md5 action=\"original\"");
  for (size_t i = first.find('>', md5) + 1; first[i] != '<'; ++i)
    first[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(first[i])));
  writeFile(root + "/f.bin", "good");
  writeFile(root + "/old.mov", "move");
  writeFile(root + "/cr\rname.bin", "cr");
  first += h.entry("f.bin", {{"md5", "original"}, {"xxh64", "original"}}) +
           h.entry("old.mov", {{"xxh128", "original"}}) +
           h.entry("cr&#13;name.bin", {{"xxh64", "original"}}, "cr\rname.bin");
  h.add("transfer", first);
  // Another tool moved old.mov and found f.bin changed: it records what it found as "failed".
  ASSERT_EQ(::rename((root + "/old.mov").c_str(), (root + "/new.mov").c_str()), 0);
  writeFile(root + "/f.bin", "bad!");
  h.add("in-place", h.entry("new.mov", {{"xxh64", "verified"}}, "", "old.mov") +
                        h.entry("f.bin", {{"sha1", "failed"}, {"xxh64", "failed"}}));
  // Files no list names: reported, escaped; ignored names are not.
  for (const char* n : {"extra.mov", "evil\r\x1B[2K.mov", "scratch.tmp", "t/.DS_Store"})
    writeFile(root + "/" + n, "x");
  std::vector<std::string> fine = {"정상: new.mov", "정상: cr\\rname.bin",
                                   "해시 목록에 없음: extra.mov",
                                   "해시 목록에 없음: evil\\r\\x1B[2K.mov"};
  for (const auto& ty : types) fine.push_back("정상: t/" + ty + ".bin");
  // A hash marked failed is not what the file should be; no raw control byte reaches the terminal.
  auto bad = fine;
  bad.push_back("변경됨: f.bin");
  expectVerify(root, 1, bad, {"old.mov", "\r", "\x1B", "scratch.tmp", ".DS_Store"});
  // A folder with a history of its own (nested) is checked by its lists, not called unlisted.
  History inner{root + "/B", {}};
  ASSERT_TRUE(mkdirs(inner.root));
  writeFile(inner.root + "/x.bin", "inner");
  inner.add("transfer", inner.entry("x.bin", {{"sha1", "original"}}));
  // Restored, everything listed matches: files no list names do not fail the folder.
  writeFile(root + "/f.bin", "good");
  fine.insert(fine.end(),
              {"정상: f.bin", "정상: B/x.bin", "체인 정상: B/ascmhl/0001_P_2026-01-10_100000Z.mhl",
               "문제 0개, 해시 목록에 없는 파일 2개"});
  expectVerify(root, 0, fine, {"해시 목록에 없음: B/"});
  writeFile(inner.root + "/x.bin", "inneR");
  expectVerify(root, 1, {"변경됨: B/x.bin"});
  writeFile(inner.root + "/x.bin", "inner");
  // Each type is really checked: one changed byte in each file is caught.
  for (const auto& ty : types) {
    writeFile(root + "/t/" + ty + ".bin", "content of " + ty + "!");
    expectVerify(root, 1, {"변경됨: t/" + ty + ".bin"});
    writeFile(root + "/t/" + ty + ".bin", "content of " + ty);
  }
  // A file whose every recorded hash is a failed one cannot be proven; a list naming a place
  // outside the folder is not followed there; a listed file gone is missing.
  writeFile(root + "/lost.mov", "zz");
  h.add("in-place", h.entry("lost.mov", {{"md5", "failed"}}));
  expectVerify(root, 1, {"검증할 해시 없음: lost.mov"});
  writeFile(t.path + "/outside.bin", "o");
  h.add("in-place", h.entry("../outside.bin", {{"md5", "original"}}));
  expectVerify(root, 1, {"읽을 수 없음: ../outside.bin"});
  ::unlink((root + "/lost.mov").c_str());
  h.add("in-place", h.entry("lost.mov", {{"md5", "original"}}));
  expectVerify(root, 1, {"\n없음: lost.mov"});
}

}  // namespace
}  // namespace tolverdine
