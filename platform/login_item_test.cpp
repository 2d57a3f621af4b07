#include "platform/login_item.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {

namespace {
// PATH (and XDG_CONFIG_HOME) for one test, restored at scope end.
struct Env {
  std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  explicit Env(const std::string& path) { ::setenv("PATH", path.c_str(), 1); }
  ~Env() {
    ::setenv("PATH", oldPath.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
  }
};

// A systemctl that keeps the unit's state in a file; "refuse" makes enable fail, "stuck" makes
// it succeed without changing anything, "nobus" answers as without a user manager.
void fakeSystemctl(const std::string& bin, const std::string& dir) {
  mkdirs(bin);
  std::string script = R"(#!/bin/sh
echo "$*" >> @/calls
if [ -f @/nobus ]; then echo 'Failed to connect to bus: No medium found' >&2; exit 1; fi
case "$2" in
  is-enabled) s=$(cat @/state 2>/dev/null || echo disabled); echo "$s"; [ "$s" = enabled ];;
  enable) if [ -f @/refuse ]; then echo 'Access denied' >&2; exit 1; fi
          [ -f @/stuck ] || echo enabled > @/state;;
  disable) echo disabled > @/state;;
esac
)";
  for (size_t at; (at = script.find('@')) != std::string::npos;)
    script.replace(at, 1, "'" + dir + "'");
  writeFile(bin + "/systemctl", script);
  ::chmod((bin + "/systemctl").c_str(), 0755);
}
}  // namespace

TEST(LoginItem, ExecLineQuotesEveryArgumentAndReadsBack) {
  // Space, dollar, quote, backslash, backquote and percent, each of which the format escapes.
  std::vector<std::string> argv = {"/opt/my app/$tolverdine", "/mnt/a \"b\"\\c`d`/", "100%"};
  std::string exec = desktopExec(argv);
  EXPECT_EQ(exec.find('\n'), std::string::npos);
  EXPECT_NE(exec.find("\"/opt/my app/\\\\$tolverdine\""), std::string::npos) << exec;
  EXPECT_NE(exec.find("\"100%%\""), std::string::npos) << exec;
  EXPECT_EQ(parseDesktopExec(exec), argv);
  EXPECT_EQ(parseDesktopExec("/usr/bin/tolverdine serve"),
            (std::vector<std::string>{"/usr/bin/tolverdine", "serve"}));
  EXPECT_FALSE(parseDesktopExec("\"open"));
  EXPECT_FALSE(parseDesktopExec("tolverdine %u"));  // a field code is never ours

  TempDir d;
  std::string path = d.path + "/autostart/tolverdine.desktop";
  ASSERT_FALSE(setAutostart(true, argv, path));
  std::string text = slurp(path);
  EXPECT_NE(text.find("\nExec=" + exec + "\n"), std::string::npos);
  if (::access("/usr/bin/desktop-file-validate", X_OK) == 0) {
    auto v = shellOutput("/usr/bin/desktop-file-validate '" + path + "' 2>&1");
    EXPECT_EQ(v.code, 0) << v.out;
    EXPECT_EQ(v.out, "");
  }
  EXPECT_TRUE(setAutostart(true, {"/a\nExec=/bin/evil"}, path));  // would add a line to the entry
  EXPECT_TRUE(setAutostart(true, {}, path));
  EXPECT_FALSE(setAutostart(false, {}, path));
  EXPECT_FALSE(exists(path));
  EXPECT_FALSE(setAutostart(false, {}, path));  // already off
  writeFile(d.path + "/file", "x");
  auto e = setAutostart(true, argv, d.path + "/file/autostart/tolverdine.desktop");
  ASSERT_TRUE(e);
  EXPECT_NE(loginItemFailureNote(*e).find("이 빌드에서는 켤 수 없습니다 ("), std::string::npos);
  EXPECT_EQ(loginItemLogLine(true, 1, std::nullopt), "로그인 항목 켬: 1 ");
  ::setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
  EXPECT_EQ(loginItemPath(), "/x/cfg/autostart/tolverdine.desktop");
  ::setenv("XDG_CONFIG_HOME", "relative", 1);
  EXPECT_EQ(loginItemPath(),
            std::string(std::getenv("HOME")) + "/.config/autostart/tolverdine.desktop");
  ::unsetenv("XDG_CONFIG_HOME");
}

TEST(LoginItem, UserServiceThroughSystemctlElseTheAutostartEntry) {
  TempDir d;
  Env env(d.path + "/bin:/usr/bin:/bin");
  fakeSystemctl(d.path + "/bin", d.path);
  LoginItemOptions o;
  o.autostartPath = d.path + "/autostart/tolverdine.desktop";
  o.command = {"/opt/t/tolverdine", "serve", "--watch", "/srv/cards/", "--port", "8123"};
  // An entry written before the package was installed would start a second instance; so would
  // the entry of earlier versions (the program path alone, a usage error at login).
  ASSERT_FALSE(setAutostart(true, o.command, o.autostartPath));
  const std::string old = d.path + "/autostart/org.tolverdine.desktop";
  writeFile(old, "[Desktop Entry]\nExec=\"/opt/t/tolverdine\"\n");
  // Each step: a flag file of the fake manager ("" none), the switch, what set() says (its
  // error's note, "" none), then enabled() and the last call.
  struct Step {
    std::string flag;
    bool on;
    std::string error;
    bool enabled;
    std::string call;
  };
  std::optional<LoginItem> item;
  for (const Step& s :
       std::vector<Step>{{"", true, "", true, "--user enable tolverdine.service"},
                         {"", false, "", false, "--user disable tolverdine.service"},
                         {"refuse", true, "Access denied", false, ""},  // the reason is shown
                         {"stuck", true, "", false, ""},  // claims success, nothing changed
                         {"nobus", true, "", true, ""},   // no user manager: the entry
                         {"nobus", false, "", false, ""}}) {
    SCOPED_TRACE(s.flag + (s.on ? " on" : " off"));
    for (const char* f : {"refuse", "stuck"}) ::unlink((d.path + "/" + f).c_str());
    if (!s.flag.empty()) writeFile(d.path + "/" + s.flag, "");
    if (!item || (s.flag == "nobus" && s.on)) {
      item.emplace(o);
      EXPECT_EQ(item->userService(), s.flag != "nobus");
      EXPECT_FALSE(item->enabled()) << "the unit says disabled; the entry does not count beside it";
    }
    auto err = item->set(s.on);
    const std::string note = err ? loginItemFailureNote(*err) : "";
    EXPECT_TRUE(err ? note.find(s.error) != std::string::npos : s.error.empty()) << note;
    EXPECT_EQ(item->enabled(), s.enabled);
    EXPECT_EQ(item->status(), s.enabled ? 1 : 0);
    EXPECT_NE(slurp(d.path + "/calls").find(s.call + "\n"), std::string::npos);
    EXPECT_EQ(exists(o.autostartPath), s.flag == "nobus" && s.on);
    EXPECT_TRUE(s.flag != "nobus" || !exists(old));
    EXPECT_TRUE(!exists(o.autostartPath) ||
                slurp(o.autostartPath).find("\nExec=" + desktopExec(o.command) + "\n") !=
                    std::string::npos);
  }
}

}  // namespace tolverdine
