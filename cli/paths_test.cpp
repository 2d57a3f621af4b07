// Paths as a user types them: every spelling of one folder is one copy, and an unopenable state
// database is an error message, never an abort.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "cli/cli_test_util.h"
#include "engine/base/canonical_path.h"
#include "engine/base/text.h"
#include "engine/store/store.h"

namespace tolverdine {
namespace {

std::vector<std::string> sortedRoots(const Cli& c) {
  auto roots = Store(c.db).verifiedRoots();
  std::sort(roots.begin(), roots.end());
  return roots;
}

TEST(PathsCommand, EverySpellingOfOneFolderIsOneCopy) {
  Cli c;
  // Spelt from the first drive's top folder; the card and the second drive are elsewhere.
  const std::string top = canonicalPath(c.one.path), d1 = top + "/SSD1", d2 = canonicalPath(c.d2);
  ASSERT_EQ(::symlink(d1.c_str(), (top + "/link").c_str()), 0);
  // (Each spelling is resolved in the engine's path tests; here, that the command resolves it
  // from the user's folder.)
  for (const std::string& d :
       std::vector<std::string>{c.d1 + "/", "./SSD1", "link/.", top + "//SSD1"}) {
    auto r = c.run({c.card, "--project", "R", "--dest", d, "--copies", "2"}, "ingest", top);
    EXPECT_EQ(r.status, 1) << d << "\n" << r.out << r.err;
  }
  // The database, and so every report and second copy, knows one absolute folder.
  ASSERT_EQ(sortedRoots(c).size(), 1u);
  const std::string project = sortedRoots(c)[0], name = lastComponent(project);
  EXPECT_EQ(parentPath(project), d1);

  // The second copy of a folder onto itself is refused; onto the other drive it makes green.
  EXPECT_EQ(c.run({"SSD1/" + name, "link/" + name + "/"}, "mirror", top).status, 2);
  auto mirror = c.run({"link/" + name, d2 + "/./" + name}, "mirror", top);
  EXPECT_EQ(mirror.status, 0) << mirror.out << mirror.err;
  EXPECT_EQ(c.run({"./card/", "--copies", "2"}, "status", c.dir.path).status, 0);
  auto want = std::vector<std::string>{project, d2 + "/" + name};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(sortedRoots(c), want);
  EXPECT_EQ(c.run({"link/" + name + "/", "C0001.MP4", "인서트"}, "reclassify", top).status, 0);

  // Two spellings, a link or a folder inside another, in one run: refused before anything is
  // written.
  mkdirs(top + "/SSD3");
  for (auto [a, b] : std::vector<std::pair<std::string, std::string>>{
           {"SSD3/", "SSD3"}, {"SSD3", top + "/SSD3/sub"}, {"SSD1", "link"}}) {
    auto r = c.run({c.card, "--project", "S", "--dest", a, "--dest", b}, "ingest", top);
    EXPECT_EQ(r.status, 2) << b << "\n" << r.out;
  }
  EXPECT_EQ(shellOutput("ls -A '" + top + "/SSD3'").out, "");
  EXPECT_EQ(shellOutput("ls '" + d1 + "'").out, name + "\n");
}

// Which databases cannot be opened is the engine's; every command that opens one says so once.
TEST(PathsCommand, UnopenableDatabaseIsOneKoreanErrorAndExitTwo) {
  Cli c;
  mkdirs(parentPath(c.db));
  writeFile(c.db, std::string(8192, 'g'));
  for (const auto& [command, args] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"ingest", {c.card, "--project", "p", "--dest", c.d1}},
           {"mirror", {c.d1 + "/p", c.d2 + "/p"}}}) {
    auto r = c.run(args, command);
    EXPECT_EQ(r.status, 2) << command << "\n" << r.err;
    const std::string said = "오류 — 상태 데이터베이스를 열지 못했습니다: ";
    EXPECT_NE(r.err.find(said), std::string::npos) << command << "\n" << r.err;
    EXPECT_EQ(r.err.find(said), r.err.rfind(said)) << "said once\n" << r.err;
  }
  EXPECT_EQ(shellOutput("ls -A '" + c.d1 + "'").out, "");
}

}  // namespace
}  // namespace tolverdine
