// Notifications, eject, the app log and the opener against the real system, with the buses absent;
// who holds a volume, from lsof.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "engine/base/files.h"
#include "platform/app_log.h"
#include "platform/clock.h"
#include "platform/eject.h"
#include "platform/mount_table.h"
#include "platform/notifier.h"
#include "platform/opener.h"
#include "platform/volume_holders.h"
#include "testing/test_util.h"

namespace tolverdine {

using namespace std::chrono_literals;

namespace {
const char* kNoBus = "unix:path=/nonexistent/tolverdine-test-bus";

bool mounted(const std::string& mp) {
  return mountAt(readMountTable("/proc/self/mountinfo"), mp).has_value();
}
}  // namespace

TEST(Services, NotifierWithoutSessionBusFailsFast) {
  ScopedEnv nb("DBUS_SESSION_BUS_ADDRESS", kNoBus);
  DbusNotifier n(2000);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(n.notifyNow("확인 필요 — A001", "오류", true));
  n.notify("포맷 가능 — A001", "끝", false);  // returns at once, tried in the background
  n.drain();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1500ms);
}

TEST(Services, EjectFallsBackToUnmountAndReportsABusyVolume) {
  LoopMount m(8);
  SKIP_UNLESS_MOUNTED(m);
  ScopedEnv nb("DBUS_SYSTEM_BUS_ADDRESS", kNoBus);
  UDisksEjector e(2000);
  auto t0 = std::chrono::steady_clock::now();
  writeFile(m.path() + "/clip.mov", "x");
  int fd = ::open((m.path() + "/clip.mov").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  auto busy = e.eject(m.path());  // a program holds a file: not reported as ejected
  EXPECT_FALSE(busy.value_or(EjectFailure{}).description.empty());
  EXPECT_TRUE(mounted(m.path()));
  ::close(fd);
  EXPECT_FALSE(e.eject(m.path()));
  EXPECT_FALSE(mounted(m.path()));
  auto again = e.eject(m.path());  // nothing mounted there any more
  EXPECT_NE(again.value_or(EjectFailure{}).description.find("not mounted"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
}

TEST(Services, AppLogLinesUnderTheHomeFolder) {
  TempDir t;
  ScopedEnv home("HOME", t.path.c_str());
  FakeClock clock;
  clock.t = std::chrono::system_clock::from_time_t(1772703562);  // 2026-03-05T09:39:22Z
  FileAppLog(&clock).log("카드 감지: /media/u/A001");
  EXPECT_EQ(slurp(t.path + "/Library/Logs/TOLVERDINE/app.log"),
            "2026-03-05T09:39:22Z 카드 감지: /media/u/A001\n");
  std::filesystem::remove_all(t.path + "/Library");
  writeFile(t.path + "/Library", "not a folder");
  FileAppLog(&clock).log("dropped");  // must neither throw nor create anything
  EXPECT_FALSE(exists(t.path + "/Library/Logs"));
}

TEST(Services, OpenerStartsTheProgramWithoutAShell) {
  TempDir t;
  std::string prog = t.path + "/fake-open", out = t.path + "/args";
  writeFile(prog, "#!/bin/sh\nprintf '%s|' \"$@\" >> " + out + "\necho >> " + out + "\n");
  ::chmod(prog.c_str(), 0755);
  XdgOpener o(prog);
  // A file is revealed by opening its folder.
  EXPECT_TRUE(o.reveal("/media/u/A 001/$(touch x);/A001.mhl"));
  EXPECT_FALSE(o.open("--help"));  // never an option
  EXPECT_FALSE(o.reveal("relative/file"));
  EXPECT_FALSE(XdgOpener(t.path + "/missing").open("/x"));
  std::string text;
  for (int i = 0; i < 200 && text.empty(); ++i) {
    std::this_thread::sleep_for(10ms);
    readFile(out, &text);
  }
  EXPECT_EQ(text, "/media/u/A 001/$(touch x);|\n");
  EXPECT_FALSE(exists("x"));
}

// lsof -Fc output: each holder once, sorted, the program itself left out.
TEST(VolumeHolders, ParsesLsofOutputUniqueSortedWithoutOwnName) {
  auto h =
      parseLsofHolders("p1\ncmds\np2\ncFinder\np4\ncFinder\n\nf3\np9\ncTolverdine\n", "Tolverdine");
  EXPECT_EQ(h, (std::vector<std::string>{"Finder", "mds"}));
}

}  // namespace tolverdine
