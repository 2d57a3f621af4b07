#include "engine/hashlist/mhl_verify.h"

#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/base/names.h"
#include "engine/base/text.h"
#include "engine/copy/copy.h"
#include "engine/hashlist/digest.h"
#include "engine/hashlist/mhl.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

const std::time_t kNow = 1772703502;  // 2026-03-05 09:38:22 UTC
const char* kTypes[] = {"xxh64", "xxh3", "xxh128", "md5", "sha1", "c4"};

// A project folder as the tools leave it: a generation another tool wrote with every hash type,
// one of ours, and a move recorded by a renames generation. Returns the generation names.
std::vector<std::string> makeProject(const std::string& root) {
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
  const std::string first = "0001_P_2026-01-10_100000Z.mhl";
  writeFile(root + "/ascmhl/" + first,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<hashlist version=\"2.0\" xmlns=\"urn:ASC:MHL:v2.0\"><processinfo><process>transfer"
            "</process><ignore><pattern>*.tmp</pattern></ignore></processinfo><hashes>\n" +
                hashes + "</hashes></hashlist>\n");
  std::vector<Verified> ours(2);
  for (auto [v, rel, content] :
       {std::tuple{&ours[0], "A/a.mov", "alpha"}, {&ours[1], "A/old.mov", "moved"}}) {
    writeFile(root + "/" + rel, content);
    v->row.rel = rel;
    v->row.dest = rel;
    v->row.size = 5;
    v->hash = xxh64(content);
  }
  auto second = writeMHLGeneration(root, ours, NameSet::ko(), std::nullopt, kNow);
  ::rename((root + "/A/old.mov").c_str(), (root + "/A/new.mov").c_str());
  auto third = writeMHLRenames(root, {{"A/old.mov", "A/new.mov", 5, xxh64("moved")}}, NameSet::ko(),
                               kNow + 1);
  return {first, lastComponent(second.value_or("")), lastComponent(third.value_or(""))};
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
// the folder is clean only when every listed file matches and every list is whole.
TEST(MHL, VerifyJudgesEveryListedFileAndTheChain) {
  struct Case {
    std::string what;
    std::function<void(const std::string& root, const std::vector<std::string>& gens)> change;
    std::string want;  // "@1" .. "@3" stand for the generations' names
  };
  // The first byte of `part` in the file becomes c.
  auto edit = [](const std::string& path, const std::string& part, char c) {
    std::string s = slurp(path);
    s[s.find(part)] = c;
    writeFile(path, s);
  };
  std::vector<Case> cases = {
      {"as written", [](auto&, auto&) {}, "clean"},
      {"a file no list names, and one the lists ignore",
       [](auto& root, auto&) {
         writeFile(root + "/A/extra.mov", "x");
         writeFile(root + "/A/scratch.tmp", "x");
       },
       "unlisted A/extra.mov\nclean"},
      {"changed content", [&](auto& root, auto&) { edit(root + "/A/a.mov", "a", 'A'); },
       "changed xxh64 A/a.mov\nnot clean"},
      {"deleted", [](auto& root, auto&) { ::unlink((root + "/A/a.mov").c_str()); },
       "missing xxh64 A/a.mov\nnot clean"},
      {"moved file deleted at its new place",
       [](auto& root, auto&) { ::unlink((root + "/A/new.mov").c_str()); },
       "missing xxh64 A/new.mov\nnot clean"},
      {"a generation changed after the chain named it",
       [&](auto& root, auto& gens) { edit(root + "/ascmhl/" + gens[1], "TOLVERDINE", 't'); },
       "chain mismatch @2\nnot clean"},
      {"a generation the chain does not name",
       [](auto& root, auto& gens) {
         writeFile(root + "/ascmhl/0004_P.mhl", slurp(root + "/ascmhl/" + gens[0]));
       },
       "chain unlisted 0004_P.mhl\nnot clean"},
      {"a generation cut short",
       [](auto& root, auto& gens) {
         writeFile(root + "/ascmhl/" + gens[0], slurp(root + "/ascmhl/" + gens[0]).substr(0, 90));
       },
       "chain mismatch @1\nunlisted t/c4.bin\nunlisted t/md5.bin\nunlisted t/sha1.bin\n"
       "unlisted t/xxh128.bin\nunlisted t/xxh3.bin\nunlisted t/xxh64.bin\nunreadable @1\n"
       "not clean"},
      {"no chain", [](auto& root, auto&) { ::unlink((root + "/ascmhl/ascmhl_chain.xml").c_str()); },
       "unreadable ascmhl_chain.xml\nnot clean"},
  };
  for (const char* type : kTypes)
    cases.push_back({std::string("one byte changed under ") + type,
                     [&, type](auto& root, auto&) { edit(root + "/t/" + type + ".bin", "c", 'C'); },
                     std::string("changed ") + type + " t/" + type + ".bin\nnot clean"});
  for (const Case& c : cases) {
    TempDir t;
    const std::string root = t.path + "/P";
    auto gens = makeProject(root);
    ASSERT_EQ(gens.size(), 3u);
    c.change(root, gens);
    std::string want = c.want;
    for (int i = 0; i < 3; ++i)
      for (size_t at; (at = want.find("@" + std::to_string(i + 1))) != std::string::npos;)
        want.replace(at, 2, gens[i]);
    MHLVerifyReport r = verifyMHL(root);
    EXPECT_EQ(problems(r), want) << c.what;
    if (c.what == "as written") {
      EXPECT_EQ(r.files.size(), 8u) << "a moved file is expected at its new place only";
    }
  }
  TempDir none;
  EXPECT_TRUE(verifyMHL(none.path).noHashLists);
  EXPECT_FALSE(verifyMHL(none.path).clean());
}

}  // namespace
}  // namespace tolverdine
