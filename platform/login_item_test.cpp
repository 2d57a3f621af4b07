#include "platform/login_item.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {

namespace {
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

TEST(LoginItem, ExecLineQuotesEveryArgument) {
  // Space, dollar, quote, backslash, backquote and percent, each of which the format escapes.
  std::vector<std::string> argv = {"/opt/my app/$tolverdine", "/mnt/a \"b\"\\c`d`/", "100%"};
  std::string exec = desktopExec(argv);
  EXPECT_NE(exec.find("\"/opt/my app/\\\\$tolverdine\""), std::string::npos) << exec;

  TempDir d;
  std::string path = d.path + "/autostart/tolverdine.desktop";
  ASSERT_FALSE(setAutostart(true, argv, path));
  EXPECT_NE(slurp(path).find("\nExec=" + exec + "\n"), std::string::npos);
  EXPECT_TRUE(setAutostart(true, {"/a\nExec=/bin/evil"}, path));  // would add a line to the entry
  EXPECT_TRUE(setAutostart(true, {}, path));
  EXPECT_FALSE(setAutostart(false, {}, path));
  EXPECT_FALSE(exists(path));
  writeFile(d.path + "/file", "x");
  auto e = setAutostart(true, argv, d.path + "/file/autostart/tolverdine.desktop");
  ASSERT_TRUE(e);
  EXPECT_NE(loginItemFailureNote(*e).find("이 빌드에서는 켤 수 없습니다 ("), std::string::npos);
  ScopedEnv xdg("XDG_CONFIG_HOME", "/x/cfg");
  EXPECT_EQ(loginItemPath(), "/x/cfg/autostart/tolverdine.desktop");
  xdg.set("relative");
  EXPECT_EQ(loginItemPath(),
            std::string(std::getenv("HOME")) + "/.config/autostart/tolverdine.desktop");
}

TEST(LoginItem, UserServiceThroughSystemctlElseTheAutostartEntry) {
  TempDir d;
  ScopedEnv env("PATH", (d.path + "/bin:/usr/bin:/bin").c_str());
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
  std::optional<LoginItem> item;
  for (const auto& [flag, on, error, enabled, call] :
       std::vector<std::tuple<std::string, bool, std::string, bool, std::string>>{
           {"", true, "", true, "--user enable tolverdine.service"},
           {"", false, "", false, "--user disable tolverdine.service"},
           {"refuse", true, "Access denied", false, ""},  // the reason is shown
           {"stuck", true, "", false, ""},                // claims success, nothing changed
           {"nobus", true, "", true, ""},                 // no user manager: the entry
           {"nobus", false, "", false, ""}}) {
    SCOPED_TRACE(flag + (on ? " on" : " off"));
    for (const char* f : {"refuse", "stuck"}) ::unlink((d.path + "/" + f).c_str());
    if (!flag.empty()) writeFile(d.path + "/" + flag, "");
    if (!item || (flag == "nobus" && on)) {
      item.emplace(o);
      EXPECT_EQ(item->userService(), flag != "nobus");
      EXPECT_FALSE(item->enabled()) << "the unit says disabled; the entry does not count beside it";
    }
    auto err = item->set(on);
    const std::string note = err ? loginItemFailureNote(*err) : "";
    EXPECT_TRUE(err ? note.find(error) != std::string::npos : error.empty()) << note;
    EXPECT_EQ(item->enabled(), enabled);
    EXPECT_NE(slurp(d.path + "/calls").find(call + "\n"), std::string::npos);
    EXPECT_EQ(exists(o.autostartPath), flag == "nobus" && on);
    EXPECT_TRUE(flag != "nobus" || !exists(old));
  }
}

}  // namespace tolverdine
