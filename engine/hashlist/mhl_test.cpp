#include "engine/hashlist/mhl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/base/folder_lock.h"
#include "engine/base/names.h"
#include "engine/base/text.h"
#include "engine/base/version.h"
#include "engine/copy/copy.h"
#include "engine/hashlist/c4.h"
#include "engine/hashlist/mhl_complete.h"
#include "engine/hashlist/mhl_folder.h"
#include "engine/hashlist/mhl_read.h"
#include "engine/hashlist/mhl_verify.h"
#include "os/host.h"
#include "testing/fault_fs.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

const NameSet& ko() { return NameSet::ko(); }

Verified item(const std::string& dest, int64_t size = 1, const std::string& hash = "ab",
              std::optional<std::string> md5 = std::nullopt) {
  Verified v;
  v.row.rel = lastComponent(dest);
  v.row.dest = dest;
  v.row.size = size;
  v.row.mtimeNs = 1772703502999999999;  // 2026-03-05T09:38:22.999…: truncated, not rounded
  v.hash = hash;
  v.md5 = md5;
  return v;
}

bool wellFormed(const std::string& path) {
  std::string q = "'";
  for (char c : path) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return sh("xmllint --noout " + q + "' 2>/dev/null") == 0;
}

std::vector<std::string> generations(const std::string& root) {
  std::vector<std::string> out;
  for (auto& n : listFolder(root + "/ascmhl"))
    if (n.ends_with(".mhl")) out.push_back(n);
  std::sort(out.begin(), out.end());
  return out;
}

// Every generation well-formed, and the chain naming exactly them with their C4 ids.
void expectChainMatchesFolder(const std::string& root) {
  std::string dir = root + "/ascmhl";
  ASSERT_TRUE(wellFormed(dir + "/ascmhl_chain.xml"));
  auto chain = parseMHLChain(slurp(dir + "/ascmhl_chain.xml"));
  ASSERT_TRUE(chain);
  auto gens = generations(root);
  ASSERT_EQ(chain->size(), gens.size());
  for (size_t i = 0; i < gens.size(); ++i) {
    EXPECT_EQ((*chain)[i].path, gens[i]);
    EXPECT_EQ((*chain)[i].sequence, mhlSequence(gens[i]).value_or(0));
    EXPECT_EQ((*chain)[i].c4, c4Id(slurp(dir + "/" + gens[i])));
    EXPECT_TRUE(wellFormed(dir + "/" + gens[i])) << gens[i];
  }
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

const std::time_t kNow = 1772703502;  // 2026-03-05 09:38:22 UTC

TEST(MHL, GenerationTextNumberingAndEscaping) {
  TempDir t;
  std::string root = t.path + "/20260305_A&B";
  ASSERT_TRUE(mkdirs(root));
  EXPECT_FALSE(writeMHLGeneration(root, {}, ko(), "x", kNow));
  EXPECT_FALSE(exists(root + "/ascmhl"));

  std::vector<Verified> items = {
      item("01_원본/A/b&amp;\"<x>'.mov", 10, "00000000000000ff"),
      item("01_원본/A/a.mov", 7, "1234567890abcdef", "d41d8cd98f00b204e9800998ecf8427e")};
  auto p = writeMHLGeneration(root, items, ko(), "Kim & <Lee>", kNow);
  ASSERT_TRUE(p);
  EXPECT_EQ(*p, root + "/ascmhl/0001_20260305_A&B_2026-03-05_093822Z.mhl");
  std::string want =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<hashlist version=\"2.0\" xmlns=\"urn:ASC:MHL:v2.0\">\n"
      "  <creatorinfo>\n    <creationdate>@D</creationdate>\n    <hostname>@HOST</hostname>\n"
      "    <tool version=\"@VERSION\">TOLVERDINE</tool>\n"
      "    <author>Kim &amp; &lt;Lee&gt;</author>\n  </creatorinfo>\n"
      "  <processinfo>\n    <process>transfer</process>\n    <ignore>\n"
      "      <pattern>.DS_Store</pattern>\n      <pattern>ascmhl</pattern>\n"
      "      <pattern>ascmhl/</pattern>\n      <pattern>_리포트</pattern>\n"
      "      <pattern>_리포트/</pattern>\n    </ignore>\n  </processinfo>\n  <hashes>\n"
      "    <hash>\n      <path size=\"7\" lastmodificationdate=\"@D\">01_원본/A/a.mov</path>\n"
      "      <md5 action=\"original\" hashdate=\"@D\">d41d8cd98f00b204e9800998ecf8427e</md5>\n"
      "      <xxh64 action=\"original\" hashdate=\"@D\">1234567890abcdef</xxh64>\n    </hash>\n"
      "    <hash>\n      <path size=\"10\" lastmodificationdate=\"@D\">"
      "01_원본/A/b&amp;amp;&quot;&lt;x&gt;'.mov</path>\n"
      "      <xxh64 action=\"original\" hashdate=\"@D\">00000000000000ff</xxh64>\n    </hash>\n"
      "  </hashes>\n</hashlist>\n";
  for (auto [mark, value] : {std::pair<std::string, std::string>{"@D", "2026-03-05T09:38:22+00:00"},
                             {"@HOST", xmlEscape(hostName())},
                             {"@VERSION", toolVersion()}})
    for (size_t at; (at = want.find(mark)) != std::string::npos;)
      want.replace(at, mark.size(), value);
  EXPECT_EQ(slurp(*p), want);
  expectChainMatchesFolder(root);

  // Gaps and foreign names: 0001 and 0003 give 0004; "notes.mhl" counts for nothing (sequence 0 in
  // the chain). A foreign writer took 0004 at this very second: the next number, nothing replaced.
  writeFile(root + "/ascmhl/0003_old.mhl", slurp(*p));
  writeFile(root + "/ascmhl/notes.mhl", slurp(*p));
  writeFile(root + "/ascmhl/9999.txt", "x");
  const std::string theirs = root + "/ascmhl/0004_20260305_A&B_2026-03-05_093823Z.mhl";
  writeFile(theirs, slurp(*p));
  auto q = writeMHLGeneration(root, {item("_카드원본/R001/C.mov", 1, "aa")}, ko(), "", kNow + 1);
  ASSERT_TRUE(q);
  EXPECT_EQ(lastComponent(*q), "0005_20260305_A&B_2026-03-05_093823Z.mhl");
  EXPECT_EQ(slurp(theirs), slurp(*p));
  EXPECT_FALSE(has(slurp(*q), "<author>"));
  EXPECT_TRUE(has(slurp(*q), "<pattern>03_사진/</pattern>\n    </ignore>")) << "a mirror's view";
  expectChainMatchesFolder(root);  // notes.mhl with sequence 0
}

TEST(MHL, RenamesRehashAtNewPath) {
  TempDir t;
  std::string root = t.path + "/P", at = root + "/01_원본/인터뷰/";
  ASSERT_TRUE(mkdirs(at));
  writeFile(at + "a.mov", "alpha");
  writeFile(at + "b.mov", "bravo-changed");
  struct timespec ts[2] = {{0, UTIME_OMIT}, {1700000000, 5}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (at + "a.mov").c_str(), ts, 0), 0);
  // An earlier card kept as a mirror: its classified view stays ignored after the move, since the
  // standard's tool reads the ignore list of the newest generation only.
  ASSERT_TRUE(
      writeMHLGeneration(root, {item("_카드원본/R001/C.mov", 1, "aa")}, ko(), "", kNow - 60));
  auto p = writeMHLRenames(root,
                           {{"01_원본/기타/a.mov", "01_원본/인터뷰/a.mov", 5, xxh64("alpha")},
                            {"01_원본/기타/b.mov", "01_원본/인터뷰/b.mov", 5, xxh64("bravo")},
                            {"01_원본/기타/c&.mov", "01_원본/인터뷰/c&.mov", 3, xxh64("gone")}},
                           ko(), kNow);
  ASSERT_TRUE(p);
  std::string x = slurp(*p);
  const std::string d = "hashdate=\"2026-03-05T09:38:22+00:00\">";
  for (const std::string& part :
       {"lastmodificationdate=\"2023-11-14T22:13:20+00:00\">01_원본/인터뷰/a.mov</path>\n"
        "      <xxh64 action=\"verified\" " +
            d + xxh64("alpha") + "</xxh64>\n      <previousPath>01_원본/기타/a.mov</previousPath>",
        "<xxh64 action=\"failed\" " + d + xxh64("bravo-changed") + "</xxh64>",
        "lastmodificationdate=\"2026-03-05T09:38:22+00:00\">01_원본/인터뷰/c&amp;.mov</path>\n"
        "      <xxh64 action=\"failed\" " +
            d + xxh64("gone") + "</xxh64>",
        std::string("<comment>분류 이동 (파일 내용은 그대로)</comment>"),
        std::string("<process>in-place</process>"), std::string("<pattern>03_사진/</pattern>")})
    EXPECT_TRUE(has(x, part)) << part << "\n" << x;
  for (const char* absent : {"<author>", "<md5"}) EXPECT_FALSE(has(x, absent)) << absent;
  EXPECT_FALSE(exists(root + "/ascmhl/" + kFolderLockFile)) << "other tools look in this folder";
  expectChainMatchesFolder(root);
}

TEST(MHL, BadNamesLongPathsAndDecomposedFolder) {
  TempDir t;
  // The folder name arrives decomposed; the generation's name is composed and, like every file
  // the engine writes, it lands under the composed form of the path.
  std::string nfd = "20260305_\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB";  // 한 as jamo
  std::string root = t.path + "/" + nfd;
  ASSERT_TRUE(mkdirs(root));
  auto p = writeMHLGeneration(root, {item("01_원본/" + std::string(4000, 'a') + "&\"<>")}, ko(),
                              std::nullopt, kNow);
  ASSERT_TRUE(p);
  EXPECT_EQ(lastComponent(*p), "0001_20260305_한_2026-03-05_093822Z.mhl");
  EXPECT_TRUE(has(slurp(*p), std::string(4000, 'a') + "&amp;&quot;&lt;&gt;</path>"));

  // A carriage return is carried; a decomposed name is written composed; names XML cannot carry
  // are left out (the hash-list command test), and a list of nothing but such names is not
  // written.
  auto r = writeMHLGeneration(root, {item("a\001b.mov"), item("c\rd"), item(nfd + "/x")}, ko(),
                              std::nullopt, kNow);
  ASSERT_TRUE(r);
  EXPECT_TRUE(has(slurp(*r), ">c&#13;d</path>"));
  EXPECT_TRUE(has(slurp(*r), ">20260305_한/x</path>"));
  EXPECT_FALSE(has(slurp(*r), "a\001b")) << slurp(*r);
  EXPECT_FALSE(writeMHLGeneration(root, {item("a\001b.mov")}, ko(), std::nullopt, kNow));
  EXPECT_FALSE(
      writeMHLRenames(root, {{"a\x01", "b", 1, "ab"}, {"b", "c\x02", 1, "ab"}}, ko(), kNow));
  EXPECT_EQ(generations(nfc(root)).size(), 2u);
  expectChainMatchesFolder(nfc(root));

  // A project name long enough that the full generation name would not fit a directory entry.
  std::string longRoot = t.path + "/20260305_";
  for (int i = 0; i < 80; ++i) longRoot += "촬";  // 9 + 240 bytes
  ASSERT_TRUE(mkdirs(longRoot));
  auto q = writeMHLGeneration(longRoot, {item("a")}, ko(), std::nullopt, kNow);
  ASSERT_TRUE(q);
  EXPECT_LE(lastComponent(*q).size(), 255u);
  EXPECT_EQ(nfc(lastComponent(*q)), lastComponent(*q));
  expectChainMatchesFolder(longRoot);
}

// Threads and other processes writing into one folder at once, held apart by the lock file.
TEST(MHL, ConcurrentWritersGetDistinctNumbers) {
  TempDir t;
  std::string root = t.path + "/P";
  ASSERT_TRUE(mkdirs(root));
  constexpr int kThreads = 6, kEach = 4, kProcs = 3, total = (kThreads + kProcs) * kEach;
  // Each writer at a second of its own: only the lock keeps two of them off one number.
  auto write = [&](int k) {
    try {
      for (int i = 0; i < kEach; ++i)
        writeMHLGeneration(root, {item("w" + std::to_string(k) + "/x")}, ko(), "t", kNow + k);
      return true;
    } catch (...) {
      return false;
    }
  };
  std::vector<pid_t> kids;
  for (int k = 0; k < kProcs; ++k)
    if (pid_t pid = ::fork(); pid == 0) ::_exit(write(100 + k) ? 0 : 1);
    else kids.push_back(pid);
  std::atomic<int> fails{0};
  std::vector<std::thread> th;
  for (int k = 0; k < kThreads; ++k) th.emplace_back([&, k] { fails += !write(k); });
  for (auto& x : th) x.join();
  for (pid_t pid : kids) {
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  }
  EXPECT_EQ(fails, 0);
  auto gens = generations(root);
  std::set<int> seqs;
  for (auto& g : gens) seqs.insert(mhlSequence(g).value_or(-1));
  ASSERT_EQ(std::pair(gens.size(), seqs.size()), std::pair(size_t{total}, size_t{total}));
  EXPECT_EQ(std::pair(*seqs.begin(), *seqs.rbegin()), std::pair(1, total));
  expectChainMatchesFolder(root);
  for (auto& n : listFolder(root + "/ascmhl")) EXPECT_FALSE(has(n, ".tmp-")) << n;
}

// A full destination leaves no partial generation and the chain as it was.
TEST(MHL, FailingMedia) {
  LoopMount full(8);
  SKIP_UNLESS_MOUNTED(full);
  std::string fr = full.path() + "/P";
  ASSERT_TRUE(writeMHLGeneration(fr, {item("a")}, ko(), std::nullopt, kNow));
  std::string chainBefore = slurp(fr + "/ascmhl/ascmhl_chain.xml");
  sh("dd if=/dev/zero of=" + full.path() + "/fill bs=1M count=16 >/dev/null 2>&1");
  std::vector<Verified> many;
  for (int i = 0; i < 2000; ++i)
    many.push_back(item("01/" + std::to_string(i) + std::string(3000, 'z')));
  try {
    writeMHLGeneration(fr, many, ko(), std::nullopt, kNow + 5);
    ADD_FAILURE() << "a full disk must fail the write";
  } catch (const WriteFail& f) {
    EXPECT_EQ(f.err, ENOSPC);
  }
  EXPECT_EQ(generations(fr).size(), 1u);
  EXPECT_EQ(slurp(fr + "/ascmhl/ascmhl_chain.xml"), chainBefore);
}

// A run killed between a generation and its chain, and one cut short by a power cut: the next
// listing, even with nothing new to list, sets the cut one aside and mends the chain.
TEST(MHL, MissingOrStaleChainIsRepairedAndACutShortGenerationSetAside) {
  TempDir t;
  const std::string root = t.path + "/P", dir = root + "/ascmhl";
  ASSERT_TRUE(writeMHLGeneration(root, {item("a")}, ko(), std::nullopt, kNow));
  const std::string oldChain = slurp(dir + "/ascmhl_chain.xml");
  auto second = writeMHLGeneration(root, {item("b", 1, "cd")}, ko(), std::nullopt, kNow + 1);
  ASSERT_TRUE(second);
  const std::string cut = "0003_P_2026-03-05_093830Z.mhl";
  writeFile(dir + "/" + cut, slurp(*second).substr(0, 200));
  timespec old[2] = {{kNow, 0}, {kNow, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (dir + "/" + cut).c_str(), old, 0), 0);

  ASSERT_EQ(::unlink((dir + "/ascmhl_chain.xml").c_str()), 0);
  writeFile(dir + "/ascmhl_chain.xml.tmp-999999999-1-2", "<?xml");  // the killed run's chain
  MHLListing l = writeListedGeneration(root, {}, {}, ko(), std::nullopt, kNow + 2);
  EXPECT_FALSE(l.file);
  EXPECT_EQ(l.setAside, std::vector<std::string>{cut + ".incomplete"});
  EXPECT_EQ(slurp(dir + "/" + cut + ".incomplete"), slurp(*second).substr(0, 200));
  EXPECT_EQ(generations(root).size(), 2u);
  EXPECT_FALSE(exists(dir + "/ascmhl_chain.xml.tmp-999999999-1-2"));
  expectChainMatchesFolder(root);

  writeFile(dir + "/ascmhl_chain.xml", oldChain);  // stale: names the first generation only
  EXPECT_EQ(verifyMHL(root).chain.back().state, ChainState::unlisted);
  EXPECT_TRUE(writeListedGeneration(root, {}, {}, ko(), std::nullopt, kNow + 3).setAside.empty());
  expectChainMatchesFolder(root);
  // As many entries as generations, one of them naming none.
  std::string chain = slurp(dir + "/ascmhl_chain.xml");
  writeFile(dir + "/ascmhl_chain.xml", chain.replace(chain.find(generations(root)[0]), 4, "0009"));
  writeListedGeneration(root, {}, {}, ko(), std::nullopt, kNow + 4);
  expectChainMatchesFolder(root);
}

// A generation the chain names is on the drive: a power cut just after takes nothing back.
TEST(MHL, AGenerationAndItsChainSurviveAPowerCut) {
  TempDir t;
  testing::FaultFs fs;
  auto p = writeMHLGeneration(t.path + "/P", {item("a")}, ko(), std::nullopt, kNow, fs);
  ASSERT_TRUE(p);
  const std::string text = slurp(*p);
  fs.cutPower();
  fs.dropUnsynced();
  EXPECT_EQ(slurp(*p), text);
  expectChainMatchesFolder(t.path + "/P");
}

}  // namespace
}  // namespace tolverdine
