// Paths as a user types them: every spelling of one folder is one copy, and an unopenable state
// database or an unknown home is an error message, never an abort.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "cli/cli_test_util.h"
#include "engine/base/canonical_path.h"
#include "engine/base/text.h"
#include "engine/card/profiles.h"
#include "engine/layout/presets.h"
#include "engine/reports/recap.h"
#include "engine/store/store.h"
#include "os/home.h"
#include "platform/app_log.h"
#include "web/token.h"

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
  auto first = c.run({c.card, "--project", "R", "--dest", c.d1 + "/", "--copies", "2"});
  ASSERT_EQ(first.status, 1) << first.out << first.err;
  // (Bind mounts are resolved in the path tests and counted in the physical-copy tests.)
  std::vector<std::string> spellings = {c.d1,   "SSD1",   "./SSD1",      "SSD1/../SSD1/",
                                        "link", "link/.", top + "//SSD1"};
  for (const auto& d : spellings) {
    auto r = c.runIn(top, "ingest", {c.card, "--project", "R", "--dest", d, "--copies", "2"});
    EXPECT_EQ(r.status, 1) << d << "\n" << r.out << r.err;
    EXPECT_TRUE(has(r, "복사 0 · 기존 3")) << d << "\n" << r.out;
  }
  auto status = c.runIn(c.dir.path, "status", {"./card/", "--copies", "2"});
  EXPECT_TRUE(has(status, "  검증 사본 1곳: PRIVATE/M4ROOT/STATUS.BIN")) << status.out;
  // The database, and so every report and second copy, knows one absolute folder.
  ASSERT_EQ(sortedRoots(c).size(), 1u);
  const std::string project = sortedRoots(c)[0], name = lastComponent(project);
  EXPECT_EQ(parentPath(project), d1);

  // The second copy of a folder onto itself is refused; onto the other drive it makes green.
  EXPECT_EQ(c.runIn(top, "mirror", {"SSD1/" + name, "link/" + name + "/"}).status, 2);
  auto mirror = c.runIn(top, "mirror", {"link/" + name, d2 + "/./" + name});
  EXPECT_EQ(mirror.status, 0) << mirror.out << mirror.err;
  EXPECT_EQ(c.runIn(c.dir.path, "status", {"card", "--copies", "2"}).status, 0);
  auto want = std::vector<std::string>{project, d2 + "/" + name};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(sortedRoots(c), want);
  // A clip is found by the folder however it is typed, and by its name alone when it is unique.
  auto moved = c.runIn(top, "reclassify", {"link/" + name + "/", "C0001.MP4", "인서트"});
  EXPECT_EQ(moved.status, 0) << moved.out << moved.err;

  // Two spellings, a link or a folder inside another, in one run: refused before anything is
  // written.
  mkdirs(top + "/SSD3");
  for (auto [a, b] : std::vector<std::pair<std::string, std::string>>{
           {"SSD3/", "SSD3"}, {"SSD3", top + "/SSD3/sub"}, {"SSD1", "link"}}) {
    auto r = c.runIn(top, "ingest", {c.card, "--project", "S", "--dest", a, "--dest", b});
    EXPECT_EQ(r.status, 2) << b << "\n" << r.out;
  }
  EXPECT_EQ(shellOutput("ls -A '" + top + "/SSD3'").out, "");
  EXPECT_EQ(shellOutput("ls '" + d1 + "'").out, name + "\n");
}

TEST(PathsCommand, UnopenableDatabaseIsOneKoreanErrorAndExitTwo) {
  for (bool folder : {false, true}) {
    Cli c;
    mkdirs(parentPath(c.db));
    if (folder) mkdirs(c.db + "/x");
    else writeFile(c.db, std::string(8192, 'g'));
    for (const auto& [command, args] :
         std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"ingest", {c.card, "--project", "p", "--dest", c.d1}},
             {"status", {c.card}},
             {"mirror", {c.d1 + "/p", c.d2 + "/p"}}}) {
      auto r = c.run(args, command);
      EXPECT_EQ(r.status, 2) << command << (folder ? " (folder)\n" : " (garbage)\n") << r.err;
      const std::string said = "오류 — 상태 데이터베이스를 열지 못했습니다: ";
      EXPECT_NE(r.err.find(said), std::string::npos) << command << "\n" << r.err;
      EXPECT_EQ(r.err.find(said), r.err.rfind(said)) << "said once\n" << r.err;
    }
    // Nothing was written in place of the broken database, nor on the destination.
    EXPECT_EQ(shellOutput("ls -A '" + c.d1 + "'").out, "");
  }
}

TEST(HomeFolder, EveryFileOfTheProgramLiesUnderTheOneHome) {
  const passwd* pw = ::getpwuid(::getuid());
  ASSERT_TRUE(pw && pw->pw_dir && pw->pw_dir[0] == '/');
  const std::string own = pw->pw_dir;
  std::optional<std::string> old;
  if (const char* h = std::getenv("HOME")) old = h;
  // Set; then unset, empty or relative: the account's home, never "/Library/..." nor /tmp.
  for (const char* value :
       {"/srv/set-home", static_cast<const char*>(nullptr), "", "relative/home"}) {
    if (value) ::setenv("HOME", value, 1);
    else ::unsetenv("HOME");
    const std::string home = value && value[0] == '/' ? value : own;
    EXPECT_EQ(homeDir(), home) << (value ? value : "(unset)");
    for (const auto& f :
         {Store::defaultPath(), FileAppLog::defaultPath(), recapJobsDir(), recapLogPath(),
          Presets::v0Path(), Presets::customPath(), Profiles::overrideURL(),
          web::defaultTokenPath(), applicationSupportDir()})
      EXPECT_EQ(f.rfind(home + "/", 0), 0u) << f;
    // The settings beside the state database, whatever XDG_CONFIG_HOME says.
    ::setenv("XDG_CONFIG_HOME", "/nowhere", 1);
    EXPECT_EQ(Store::defaultPath(), home + "/Library/Application Support/TOLVERDINE/ingest.sqlite");
    EXPECT_EQ(applicationSupportDir(), home + "/Library/Application Support/TOLVERDINE");
    ::unsetenv("XDG_CONFIG_HOME");
  }
  if (old) ::setenv("HOME", old->c_str(), 1);
  else ::unsetenv("HOME");
}

TEST(HomeFolder, NoHomeAnywhereStopsWithAKoreanErrorBeforeAnyFileIsWritten) {
  const uid_t stranger = 54321;  // an account the user database does not know
  if (::getuid() != 0 || ::getpwuid(stranger)) GTEST_SKIP() << "needs root and an unknown uid";
  Cli c;
  sh("chmod -R a+rwX '" + c.dir.path + "'");  // the card and destinations are the stranger's to use
  for (const std::string command : {"status", "ingest"}) {
    auto r =
        shellOutput("cd / && setpriv --reuid=54321 --regid=54321 --clear-groups env -u HOME " +
                    std::string(TOLVERDINE_BINARY) + " " + command + " '" + c.card + "'" +
                    (command == "ingest" ? " --project p --dest '" + c.d1 + "'" : "") + " 2>&1");
    EXPECT_EQ(r.code, 2) << command << "\n" << r.out;
    EXPECT_NE(r.out.find("홈 폴더를 알 수 없습니다"), std::string::npos) << command << "\n"
                                                                         << r.out;
  }
  EXPECT_EQ(shellOutput("ls -A '" + c.d1 + "'").out, "");
}

}  // namespace
}  // namespace tolverdine
