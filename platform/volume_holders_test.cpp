#include "platform/volume_holders.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {

TEST(VolumeHolders, ParsesLsofOutputUniqueSortedWithoutOwnName) {
  auto h =
      parseLsofHolders("p123\ncFinder\np456\ncFinder\n\nf3\ncmds\np9\ncTolverdine\n", "Tolverdine");
  EXPECT_EQ(h, (std::vector<std::string>{"Finder", "mds"}));
  EXPECT_TRUE(parseLsofHolders("", "Tolverdine").empty());
  EXPECT_EQ(parseLsofHolders("cz\nca", "x"), (std::vector<std::string>{"a", "z"}));
}

namespace {
// A child that sleeps with its working folder at cwd, or with file open; its name (comm) is the
// name of the program file it runs.
pid_t holder(const std::string& program, const std::string& cwd, const std::string& file) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(cwd.c_str()) != 0) ::_exit(1);
    std::string cmd = "exec '" + program + "' 30";
    if (!file.empty()) cmd = "exec 3<'" + file + "'; " + cmd;
    ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

void stop(pid_t p) {
  ::kill(p, SIGKILL);
  ::waitpid(p, nullptr, 0);
}
}  // namespace

TEST(VolumeHolders, WithoutLsofTheProcessTableNamesWhoHoldsTheVolume) {
  TempDir d;
  const std::string vol = d.path + "/vol", twin = d.path + "/vol2";
  mkdirs(vol + "/DCIM");
  mkdirs(twin);
  writeFile(vol + "/DCIM/C0001.MP4", "x");
  for (const char* name : {"cwdholder", "fileholder", "neighbour"})
    ASSERT_EQ(sh("cp /bin/sleep '" + d.path + "/" + name + "'"), 0);
  std::vector<pid_t> kids = {holder(d.path + "/cwdholder", vol + "/DCIM", ""),
                             holder(d.path + "/fileholder", d.path, vol + "/DCIM/C0001.MP4"),
                             holder(d.path + "/fileholder", vol, ""),
                             holder(d.path + "/neighbour", twin, "")};
  LsofVolumeHolders noLsof({d.path + "/no/lsof"});
  std::vector<std::string> names;
  // The shells exec the sleepers: wait until both names show.
  for (int i = 0; i < 100 && names.size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    names = noLsof.holders(vol + "/");
  }
  // Unique and sorted; the folder beside it with the same prefix (vol2) does not count.
  EXPECT_EQ(names, (std::vector<std::string>{"cwdholder", "fileholder"}));
  EXPECT_EQ(procHolders(vol, "/proc", "cwdholder"), (std::vector<std::string>{"fileholder"}));
  EXPECT_EQ(procHolders(twin), (std::vector<std::string>{"neighbour"}));
  stop(kids[0]);
  stop(kids[2]);
  // The open file alone is enough.
  EXPECT_EQ(procHolders(vol), (std::vector<std::string>{"fileholder"}));
  stop(kids[1]);
  stop(kids[3]);
  EXPECT_TRUE(noLsof.holders(vol).empty());
  EXPECT_TRUE(procHolders(d.path + "/absent").empty());
}

}  // namespace tolverdine
