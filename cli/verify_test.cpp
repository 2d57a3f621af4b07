// `tolverdine verify` on hash lists as another tool writes them: every hash type, hashes marked
// "failed", a move, a nested history. What each state is judged is tested in the engine; here,
// that each is printed under its own label, escaped, and decides the exit code.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>

#include "engine/base/files.h"
#include "engine/hashlist/c4.h"
#include "engine/hashlist/digest.h"
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

// Generations written by hand under root/ascmhl, with a chain naming them by their C4 ids.
struct History {
  std::string root;
  std::vector<std::pair<std::string, std::string>> gens;  // name, text
  void add(const std::string& process, const std::string& hashes) {
    char name[64];
    std::snprintf(name, sizeof name, "%04zu_P_2026-01-%02zu_100000Z.mhl", gens.size() + 1,
                  gens.size() + 10);
    gens.push_back({name,
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<hashlist version=\"2.0\" "
                    "xmlns=\"urn:ASC:MHL:v2.0\">\n<processinfo><process>" +
                        process +
                        "</process><ignore><pattern>.DS_Store</pattern><pattern>ascmhl/</pattern>"
                        "<pattern>*.tmp</pattern></ignore></processinfo>\n<hashes>\n" +
                        hashes + "</hashes>\n</hashlist>\n"});
    mkdirs(root + "/ascmhl");
    writeFile(root + "/ascmhl/" + name, gens.back().second);
    std::string chain =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<ascmhldirectory xmlns=\"urn:ASC:MHL:DIRECTORY:v2.0\">\n";
    for (size_t i = 0; i < gens.size(); ++i)
      chain += "<hashlist sequencenr=\"" + std::to_string(i + 1) + "\"><path>" + gens[i].first +
               "</path><c4>" + c4Id(gens[i].second) + "</c4></hashlist>\n";
    writeFile(root + "/ascmhl/ascmhl_chain.xml", chain + "</ascmhldirectory>\n");
  }
  // One <hash> entry for path as listed: per (type, action) the digest of root/file (or path),
  // and the path it was moved from.
  std::string entry(const std::string& path,
                    const std::vector<std::pair<std::string, std::string>>& hashes,
                    const std::string& file = "", const std::string& prev = "") const {
    std::string e = "<hash><path size=\"4\">" + path + "</path>" +
                    (prev.empty() ? "" : "<previousPath>" + prev + "</previousPath>");
    for (const auto& [type, action] : hashes)
      e += "<" + type + " action=\"" + action + "\">" +
           fileDigest(root + "/" + (file.empty() ? path : file), *hashTypeFromName(type))
               .value_or("00") +
           "</" + type + ">";
    return e + "</hash>\n";
  }
};

TEST(VerifyCommand, EveryStateUnderItsLabelAndTheExitCode) {
  TempDir t;
  History h{t.path + "/20260110_P", {}};
  const std::string& root = h.root;
  ASSERT_TRUE(mkdirs(root));
  // Every hash type is read in the engine's tests; here, another tool's MD5 in capitals.
  writeFile(root + "/m.bin", "md5 only");
  std::string first = h.entry("m.bin", {{"md5", "original"}});
  for (size_t i = first.find('>', first.find("<md5")) + 1; first[i] != '<'; ++i)
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
  for (const char* n : {"extra.mov", "evil\r\x1B[2K.mov", "scratch.tmp", ".DS_Store"})
    writeFile(root + "/" + n, "x");
  std::vector<std::string> fine = {"정상: new.mov", "정상: cr\\rname.bin", "정상: m.bin",
                                   "해시 목록에 없음: extra.mov",
                                   "해시 목록에 없음: evil\\r\\x1B[2K.mov"};
  // A hash marked failed is not what the file should be; no raw control byte reaches the terminal.
  auto bad = fine;
  bad.push_back("변경됨: f.bin");
  expectVerify(root, 1, bad, {"old.mov", "\r", "\x1B", "scratch.tmp", ".DS_Store"});
  // A folder with a history of its own is checked by its lists, not called unlisted.
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

  // Only failed hashes; a place outside the folder (never followed there); a listed file gone.
  writeFile(root + "/lost.mov", "zz");
  h.add("in-place", h.entry("lost.mov", {{"md5", "failed"}}));
  expectVerify(root, 1, {"검증할 해시 없음: lost.mov"});
  writeFile(t.path + "/outside.bin", "o");
  h.add("in-place", h.entry("../outside.bin", {{"md5", "original"}}));
  expectVerify(root, 1, {"읽을 수 없음: ../outside.bin"});
  ::unlink((root + "/lost.mov").c_str());
  h.add("in-place", h.entry("lost.mov", {{"md5", "original"}}));
  expectVerify(root, 1, {"\n없음: lost.mov"});

  // The lists themselves: a generation changed after the chain named it; the chain gone.
  const std::string g1 = root + "/ascmhl/" + h.gens[0].first;
  writeFile(g1, h.gens[0].second + " ");
  expectVerify(root, 1, {"체인 불일치: " + h.gens[0].first, "체인 정상: " + h.gens[1].first});
  ::unlink((root + "/ascmhl/ascmhl_chain.xml").c_str());
  expectVerify(root, 1, {"손상된 해시 목록: ascmhl_chain.xml"});
  expectVerify(t.path, 1, {});  // a folder without hash lists is not verified
}

}  // namespace
}  // namespace tolverdine
