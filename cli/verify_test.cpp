#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <gtest/gtest.h>

#include "engine/copy.h"
#include "engine/files.h"
#include "engine/mhl.h"
#include "engine/mhl_folder.h"
#include "engine/names.h"
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

bool has(const ShellOutput& r, const std::string& line) { return r.out.find(line + "\n") != std::string::npos; }

TEST(VerifyCommand, ChangedMissingMovedAndBrokenLists) {
  TempDir t;
  std::string root = t.path + "/20260305_P";
  NameSet names;
  names.reports = "_REPORTS";
  ASSERT_TRUE(mkdirs(root + "/01/A"));
  std::map<std::string, std::string> files = {{"01/A/a.mov", "alpha"}, {"01/A/b&<.mov", "bravo"}, {"01/A/c.mov", "charlie"}};
  std::vector<Verified> items;
  for (auto& [p, c] : files) {
    writeFile(root + "/" + p, c);
    items.push_back(item(p, c));
  }
  ASSERT_TRUE(writeMHLGeneration(root, items, names, std::nullopt, 1772703502));
  // A later card, and a move of one clip recorded by an in-place generation.
  writeFile(root + "/01/A/d.mov", "delta");
  ASSERT_TRUE(writeMHLGeneration(root, {item("01/A/d.mov", "delta")}, names, std::nullopt, 1772703600));
  ASSERT_TRUE(mkdirs(root + "/01/B"));
  ASSERT_EQ(::rename((root + "/01/A/c.mov").c_str(), (root + "/01/B/c.mov").c_str()), 0);
  ASSERT_TRUE(writeMHLRenames(root, {{"01/A/c.mov", "01/B/c.mov", 7, xxh64("charlie")}}, names, 1772703700));

  ShellOutput ok = verify(root);
  EXPECT_EQ(ok.code, 0) << ok.out;
  for (const char* p : {"01/A/a.mov", "01/A/b&<.mov", "01/B/c.mov", "01/A/d.mov"})
    EXPECT_TRUE(has(ok, std::string("정상: ") + p)) << ok.out;
  EXPECT_EQ(ok.out.find("01/A/c.mov"), std::string::npos) << "a moved file is expected at its new place only";

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

}  // namespace
}  // namespace tolverdine
