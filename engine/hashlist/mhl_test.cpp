#include "engine/hashlist/mhl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/base/folder_lock.h"
#include "engine/base/names.h"
#include "engine/base/term_text.h"
#include "engine/base/text.h"
#include "engine/base/version.h"
#include "engine/copy/copy.h"
#include "engine/hashlist/c4.h"
#include "engine/hashlist/digest.h"
#include "engine/hashlist/mhl_complete.h"
#include "engine/hashlist/mhl_folder.h"
#include "engine/hashlist/mhl_history.h"
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

std::string replaced(std::string s, const std::string& mark, const std::string& value) {
  for (size_t at; (at = s.find(mark)) != std::string::npos;) s.replace(at, mark.size(), value);
  return s;
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
  want =
      replaced(replaced(want, "@D", "2026-03-05T09:38:22+00:00"), "@HOST", xmlEscape(hostName()));
  EXPECT_EQ(slurp(*p), replaced(want, "@VERSION", toolVersion()));
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
  // Listed with the run's copies: a file known before, once, in place of the run's name that
  // XML cannot carry, which is named as left out.
  MHLListing l = writeListedGeneration(
      nfc(root), {item("k.mov", 1, "1111222233334444"), item("a\001b.mov")},
      {item("k.mov", 1, "9999888877776666"), item("known.mov")}, ko(), std::nullopt, kNow);
  ASSERT_TRUE(l.file);
  const std::string listed = slurp(*l.file);
  EXPECT_TRUE(has(listed, ">k.mov</path>") && has(listed, ">known.mov</path>")) << listed;
  EXPECT_TRUE(has(listed, "1111222233334444") && !has(listed, "9999888877776666"))
      << "the run's own hash of k.mov is listed";
  EXPECT_EQ(l.leftOut, std::vector<std::string>{"a\001b.mov"});

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
  // Each writer at a second of its own: only the lock keeps two of them off one number. A writer
  // that throws aborts: the test program or the child process.
  auto write = [&](int k) noexcept {
    for (int i = 0; i < kEach; ++i)
      writeMHLGeneration(root, {item("w" + std::to_string(k) + "/x")}, ko(), "t", kNow + k);
    return 0;
  };
  std::vector<pid_t> kids;
  for (int k = 0; k < kProcs; ++k)
    if (pid_t pid = ::fork(); pid == 0) ::_exit(write(100 + k));
    else kids.push_back(pid);
  std::vector<std::thread> th;
  for (int k = 0; k < kThreads; ++k) th.emplace_back(write, k);
  for (auto& x : th) x.join();
  for (pid_t pid : kids) {
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  }
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
const char* kTypes[] = {"xxh64", "xxh3", "xxh128", "md5", "sha1", "c4"};

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

// A project folder as the tools leave it: a generation another tool wrote with every hash type,
// one of ours, and a move recorded by a renames generation.
const std::string kFirst = "0001_P_2026-01-10_100000Z.mhl";

void makeProject(const std::string& root) {
  mkdirs(root + "/t");
  mkdirs(root + "/A");
  std::string hashes;
  for (const char* type : kTypes) {
    const std::string rel = std::string("t/") + type + ".bin", path = root + "/" + rel;
    writeFile(path, std::string("content of ") + type);
    hashes += "<hash><path size=\"4\">" + rel + "</path><" + type + " action=\"original\">" +
              *fileDigest(path, *hashTypeFromName(type)) + "</" + type + "></hash>\n";
  }
  mkdirs(root + "/ascmhl");
  writeFile(root + "/ascmhl/" + kFirst, hashlist("transfer", "<pattern>*.tmp</pattern>", hashes));
  std::vector<Verified> ours;
  for (auto [rel, content] : {std::pair{"A/a.mov", "alpha"}, {"A/old.mov", "moved"}}) {
    writeFile(root + "/" + rel, content);
    ours.push_back(item(rel, 5, xxh64(content)));
  }
  writeMHLGeneration(root, ours, NameSet::ko(), std::nullopt, kNow);
  ::rename((root + "/A/old.mov").c_str(), (root + "/A/new.mov").c_str());
  writeMHLRenames(root, {{"A/old.mov", "A/new.mov", 5, xxh64("moved")}}, NameSet::ko(), kNow + 1);
}

// What is not in order, one line each, then the verdict.
std::string problems(const MHLVerifyReport& r) {
  static const char* file[] = {"ok", "changed", "missing", "unreadable", "noHash"};
  static const char* chain[] = {"ok", "mismatch", "missing", "unlisted"};
  std::string out;
  for (const auto& f : r.files)
    if (f.state != FileState::ok)
      out += std::string(file[static_cast<int>(f.state)]) + " " + f.type + " " + f.path + "\n";
  for (const auto& c : r.chain)
    if (c.state != ChainState::ok)
      out += std::string("chain ") + chain[static_cast<int>(c.state)] + " " + c.name + "\n";
  for (const auto& u : r.unlisted) out += "unlisted " + u + "\n";
  for (const auto& u : r.unreadable) out += "unreadable " + u + "\n";
  return out + (r.clean() ? "clean" : "not clean");
}

// Each row changes a fresh project folder one way; verify must say exactly what is wrong, and
// the folder is clean only when every listed file matches and every list is whole. A changed or
// deleted file, a changed or unnamed generation, no chain and no lists at all: the verify
// command's test, through the same verifyMHL.
TEST(MHL, VerifyJudgesEveryListedFileAndTheChain) {
  struct Case {
    std::string what;
    std::function<void(const std::string& root)> change;
    std::string want;  // "@1" stands for the first generation's name
  };
  std::vector<Case> cases = {
      {"as written", [](auto&) {}, "clean"},
      {"a file no list names, and one the lists ignore",
       [](auto& root) {
         writeFile(root + "/A/extra.mov", "x");
         writeFile(root + "/A/scratch.tmp", "x");
       },
       "unlisted A/extra.mov\nclean"},
      {"moved file deleted at its new place",
       [](auto& root) { ::unlink((root + "/A/new.mov").c_str()); },
       "missing xxh64 A/new.mov\nnot clean"},
      {"a generation cut short",
       [](auto& root) {
         writeFile(root + "/ascmhl/" + kFirst, slurp(root + "/ascmhl/" + kFirst).substr(0, 90));
       },
       "chain mismatch @1\nunlisted t/c4.bin\nunlisted t/md5.bin\nunlisted t/sha1.bin\n"
       "unlisted t/xxh128.bin\nunlisted t/xxh3.bin\nunlisted t/xxh64.bin\nunreadable @1\n"
       "not clean"},
  };
  for (const char* type : kTypes)
    cases.push_back({std::string("one byte changed under ") + type,
                     [type](auto& root) {
                       writeFile(root + "/t/" + type + ".bin", std::string("Content of ") + type);
                     },
                     std::string("changed ") + type + " t/" + type + ".bin\nnot clean"});
  for (const Case& c : cases) {
    TempDir t;
    const std::string root = t.path + "/P";
    makeProject(root);
    c.change(root);
    MHLVerifyReport r = verifyMHL(root);
    EXPECT_EQ(problems(r), replaced(c.want, "@1", kFirst)) << c.what;
    if (c.what == "as written") {
      EXPECT_EQ(r.files.size(), 8u) << "a moved file is expected at its new place only";
    }
  }
}

TEST(MHLHistory, DigestsOfEveryTypeAgainstKnownValues) {
  TempDir t;
  std::string f = t.path + "/abc";
  writeFile(f, "abc");
  for (
      auto [type, want] : std::vector<std::pair<HashType, std::string>>{
          {HashType::xxh64, "44bc2cf5ad770999"},
          {HashType::xxh3, "78af5f94892f3950"},
          {HashType::xxh128, "06b05ab6733a618578af5f94892f3950"},
          {HashType::md5, "900150983cd24fb0d6963f7d28e17f72"},
          {HashType::sha1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
          {HashType::c4,
           "c45S4rnaTNWonxss1u8LzsaJdEph1AJhWUF4sh2waXKMsutyfAxg4ybUeuXVWS9HdNcEypmeXn8FZGonD4w1rj9DZp"}})
    EXPECT_EQ(fileDigest(f, type), want);
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
