// Paths as a user types them: every spelling of one folder is one copy, and an unopenable state
// database is an error message, never an abort.
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

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string dbPath(const Cli& c) {
  return c.dir.path + "/home/Library/Application Support/TOLVERDINE/ingest.sqlite";
}

TEST(PathsCommand, EverySpellingOfOneFolderIsOneCopy) {
  Cli c;
  // Spelt from the first drive's top folder; the card and the second drive are elsewhere.
  const std::string top = canonicalPath(c.one.path), d1 = top + "/SSD1";
  const std::string d2 = canonicalPath(c.d2);
  ASSERT_EQ(::symlink(d1.c_str(), (top + "/link").c_str()), 0);
  auto first = c.run({c.card, "--project", "R", "--dest", c.d1 + "/", "--copies", "2"});
  ASSERT_EQ(first.status, 1) << first.out << first.err;
  EXPECT_TRUE(has(first.out, "복사 3 · 기존 0")) << first.out;

  std::vector<std::string> spellings = {c.d1,   "SSD1",   "./SSD1",      "SSD1/../SSD1/",
                                        "link", "link/.", top + "//SSD1"};
  mkdirs(top + "/bind");
  bool bound = sh("mount --bind '" + d1 + "' '" + top + "/bind' 2>/dev/null") == 0;
  if (bound) spellings.push_back("bind");
  for (const auto& d : spellings) {
    auto r = c.runIn(top, "ingest", {c.card, "--project", "R", "--dest", d, "--copies", "2"});
    EXPECT_EQ(r.status, 1) << d << "\n" << r.out << r.err;
    EXPECT_TRUE(has(r.out, "복사 0 · 기존 3")) << d << "\n" << r.out;
    EXPECT_FALSE(has(r.out, "🟢")) << d;
  }
  auto status = c.runIn(c.dir.path, "status", {"./card/", "--copies", "2"});
  EXPECT_EQ(status.status, 1) << status.out;
  EXPECT_TRUE(has(status.out, "  검증 사본 1곳: PRIVATE/M4ROOT/STATUS.BIN")) << status.out;

  // The database, and so every report and second copy, knows one absolute folder.
  {
    Store s(dbPath(c));
    auto roots = s.verifiedRoots();
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(parentPath(roots[0]), d1);
  }
  // The second copy of a folder onto itself (or into itself) is refused before any copy.
  const std::string project = Store(dbPath(c)).verifiedRoots().at(0);
  const std::string name = lastComponent(project);
  auto self = c.runIn(top, "mirror", {"SSD1/" + name, "link/" + name + "/"});
  EXPECT_EQ(self.status, 2) << self.out;
  EXPECT_TRUE(has(self.out, "두 목적지가 같은 폴더이거나 한쪽이 다른 쪽 안에 있습니다"))
      << self.out;
  auto mirror = c.runIn(top, "mirror", {"link/" + name, d2 + "/./" + name});
  EXPECT_EQ(mirror.status, 0) << mirror.out << mirror.err;
  auto green = c.runIn(c.dir.path, "status", {"card", "--copies", "2"});
  EXPECT_EQ(green.status, 0) << green.out;
  {
    Store s(dbPath(c));
    auto roots = s.verifiedRoots();
    std::sort(roots.begin(), roots.end());
    std::vector<std::string> want{project, d2 + "/" + name};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(roots, want);
  }

  // A clip is found by the folder however it is typed, and by its name alone when it is unique.
  auto moved = c.runIn(top, "reclassify", {"link/" + name + "/", "C0001.MP4", "인서트"});
  EXPECT_EQ(moved.status, 0) << moved.out << moved.err;
  EXPECT_TRUE(has(moved.out, "옮김: C0001.MP4 → 인서트")) << moved.out;

  // Two spellings, a link or a folder inside another, in one run: refused before anything is
  // written.
  mkdirs(top + "/SSD3");
  for (auto pair : std::vector<std::pair<std::string, std::string>>{
           {"SSD3/", "SSD3"}, {"SSD3", top + "/SSD3/sub"}, {"SSD1", "link"}}) {
    auto r = c.runIn(top, "ingest",
                     {c.card, "--project", "S", "--dest", pair.first, "--dest", pair.second});
    EXPECT_EQ(r.status, 2) << pair.second << "\n" << r.out;
    EXPECT_TRUE(
        has(r.out, "시작하지 않음 — 두 목적지가 같은 폴더이거나 한쪽이 다른 쪽 안에 있습니다"))
        << r.out;
  }
  EXPECT_EQ(shellOutput("ls -A '" + top + "/SSD3'").out, "");
  EXPECT_EQ(shellOutput("ls '" + d1 + "'").out, name + "\n");
  if (bound) sh("umount '" + top + "/bind'");
}

TEST(PathsCommand, UnopenableDatabaseIsOneKoreanErrorAndExitTwo) {
  for (bool folder : {false, true}) {
    Cli c;
    mkdirs(parentPath(dbPath(c)));
    if (folder) mkdirs(dbPath(c) + "/x");
    else writeFile(dbPath(c), std::string(8192, 'g'));
    const std::vector<std::pair<std::string, std::vector<std::string>>> commands = {
        {"ingest", {c.card, "--project", "p", "--dest", c.d1}},
        {"status", {c.card}},
        {"twin", {c.card}},
        {"mirror", {c.d1 + "/p", c.d2 + "/p"}},
        {"reclassify", {c.d1 + "/p", "x.MP4", "인서트"}},
    };
    for (const auto& [command, args] : commands) {
      auto r = c.run(args, command);
      EXPECT_EQ(r.signal, 0) << command;
      EXPECT_EQ(r.status, 2) << command << (folder ? " (folder)" : " (garbage)") << "\n"
                             << r.out << r.err;
      const std::string said = "오류 — 상태 데이터베이스를 열지 못했습니다: ";
      size_t at = r.err.find(said);
      EXPECT_NE(at, std::string::npos) << command << "\n" << r.err;
      if (at != std::string::npos) {
        EXPECT_EQ(r.err.find(said, at + 1), std::string::npos) << "said once\n" << r.err;
      }
      EXPECT_FALSE(has(r.err, "terminate")) << r.err;
    }
    // Nothing was written in place of the broken database, nor on the destination.
    EXPECT_EQ(shellOutput("ls -A '" + c.d1 + "'").out, "");
  }
}

// HOME set to value (nullptr: removed) while it lives; the old value is put back after.
class HomeVariable {
 public:
  explicit HomeVariable(const char* value) {
    if (const char* h = std::getenv("HOME")) old_ = h;
    if (value) ::setenv("HOME", value, 1);
    else ::unsetenv("HOME");
  }
  ~HomeVariable() {
    if (old_) ::setenv("HOME", old_->c_str(), 1);
    else ::unsetenv("HOME");
  }

 private:
  std::optional<std::string> old_;
};

TEST(HomeFolder, EveryFileOfTheProgramLiesUnderTheOneHome) {
  const passwd* pw = ::getpwuid(::getuid());
  ASSERT_TRUE(pw && pw->pw_dir && pw->pw_dir[0] == '/');
  const std::string own = pw->pw_dir;
  auto files = [] {
    return std::vector<std::string>{
        Store::defaultPath(),    FileAppLog::defaultPath(), recapJobsDir(),
        recapLogPath(),          Presets::v0Path(),         Presets::customPath(),
        Profiles::overrideURL(), web::defaultTokenPath(),   applicationSupportDir()};
  };
  {
    HomeVariable h("/srv/set-home");
    for (const auto& f : files()) EXPECT_EQ(f.rfind("/srv/set-home/", 0), 0u) << f;
    EXPECT_EQ(Store::defaultPath(),
              "/srv/set-home/Library/Application Support/TOLVERDINE/ingest.sqlite");
  }
  // Unset, empty or relative: the account's home, never "/Library/..." nor a folder in /tmp.
  for (const char* value : {static_cast<const char*>(nullptr), "", "relative/home"}) {
    HomeVariable h(value);
    EXPECT_EQ(homeDir(), own) << (value ? value : "(unset)");
    for (const auto& f : files()) EXPECT_EQ(f.rfind(own + "/", 0), 0u) << f;
  }
}

TEST(HomeFolder, NoHomeAnywhereStopsWithAKoreanErrorBeforeAnyFileIsWritten) {
  const uid_t stranger = 54321;  // an account the user database does not know
  if (::getuid() != 0 || ::getpwuid(stranger)) GTEST_SKIP() << "needs root and an unknown uid";
  Cli c;
  sh("chmod -R a+rwX '" + c.dir.path + "'");  // the card and destinations are the stranger's to use
  for (const char* command : {"status", "ingest"}) {
    RunOptions o;
    o.timeout = std::chrono::milliseconds(60000);
    o.captureStderr = true;
    std::vector<std::string> argv = {"/usr/bin/setpriv",
                                     "--reuid=54321",
                                     "--regid=54321",
                                     "--clear-groups",
                                     "/usr/bin/env",
                                     "-u",
                                     "HOME",
                                     "-C",
                                     "/",
                                     TOLVERDINE_BINARY,
                                     command,
                                     c.card};
    if (std::string(command) == "ingest")
      argv.insert(argv.end(), {"--project", "p", "--dest", c.d1});
    auto r = runProcess(argv, o);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->signal, 0) << command << "\n" << r->err;
    EXPECT_EQ(r->status, 2) << command << "\n" << r->out << r->err;
    EXPECT_TRUE(has(r->err, "홈 폴더를 알 수 없습니다")) << command << "\n" << r->err;
  }
  EXPECT_EQ(shellOutput("ls -A '" + c.d1 + "'").out, "");
}

}  // namespace
}  // namespace tolverdine
