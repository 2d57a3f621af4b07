// The ingest command killed at random moments always resumes to green with every file intact.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "cli/cli_test_util.h"
#include "engine/base/text.h"

namespace tolverdine {
namespace {

namespace fs = std::filesystem;

// Every file named IMG_*.JPG under root, by name; part files counted aside.
std::map<std::string, std::string> copiesUnder(const std::string& root, int* parts) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    std::string name = e.path().filename().string();
    if (name.ends_with(".part")) ++*parts;
    else if (name.starts_with("IMG_")) out[name] = e.path().string();
  }
  return out;
}

// The ingest command started with HOME at home, its output dropped; the caller kills and reaps it.
pid_t spawn(const std::string& home, const std::vector<std::string>& args) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::vector<std::string> argv = {"/usr/bin/env", "HOME=" + home, TOLVERDINE_BINARY, "ingest"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    ::execv(raw[0], raw.data());
    ::_exit(127);
  }
  return pid;
}

TEST(IngestKill, KilledAtRandomMomentsAlwaysResumesToGreen) {
  Cli c;
  const std::string card = c.dir.path + "/card500";
  mkdirs(card + "/DCIM/100CANON");
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int i = 1; i <= 500; ++i)
    writePattern(card + "/DCIM/100CANON/IMG_" + std::to_string(10000 + i).substr(1) + ".JPG",
                 100000 + rng() % 300000, static_cast<unsigned>(i));
  auto onto = [&](const std::string& d1, const std::string& d2) {
    return std::vector<std::string>{card,     "--project", "kill",     "--dest", d1,
                                    "--dest", d2,          "--copies", "2"};
  };
  const std::vector<std::string> args = onto(c.d1, c.d2);

  // How long a whole run takes here, on destinations and a database of its own: the kills fall
  // anywhere within that.
  for (const auto& d : {c.one.path + "/t1", c.two.path + "/t2"}) mkdirs(d);
  auto t0 = std::chrono::steady_clock::now();
  int timing = 0;
  ::waitpid(spawn(c.dir.path + "/timing", onto(c.one.path + "/t1", c.two.path + "/t2")), &timing,
            0);
  ASSERT_TRUE(WIFEXITED(timing) && WEXITSTATUS(timing) == 0);
  const auto whole =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);

  int killedMidway = 0;
  for (int attempt = 0; attempt < 12; ++attempt) {
    int before = 0;
    const size_t placed = copiesUnder(c.d1, &before).size();
    pid_t pid = spawn(c.dir.path + "/home", args);
    ASSERT_GT(pid, 0);
    // Every other kill (the first among them) waits for the copying to show (a new part file or
    // copy) first, so that some kills surely fall while files are in flight; then it falls at a
    // random moment.
    if (attempt % 2 == 0) {
      for (auto start = std::chrono::steady_clock::now();
           std::chrono::steady_clock::now() - start < whole;) {
        int parts = 0;
        if (copiesUnder(c.d1, &parts).size() != placed || parts > before) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    const auto delay =
        std::chrono::milliseconds(rng() % (whole.count() / (attempt % 2 == 0 ? 4 : 1) + 1));
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    int parts = 0;
    size_t there = copiesUnder(c.d1, &parts).size();
    // Killed with part files written or some copies in place, but not all of them.
    if (WIFSIGNALED(status) && (there > 0 || parts > 0) && there < 500) ++killedMidway;
    if (WIFEXITED(status)) break;
  }
  EXPECT_GT(killedMidway, 0) << "no kill fell in the middle of a copy; a whole run takes "
                             << whole.count() << " ms";

  auto done = c.run(args);
  EXPECT_EQ(done.status, 0) << done.out << done.err;
  int parts = 0;
  auto one = copiesUnder(c.d1, &parts), two = copiesUnder(c.d2, &parts);
  EXPECT_EQ(parts, 0);
  ASSERT_EQ(one.size(), 500u);
  ASSERT_EQ(two.size(), 500u);
  for (const auto& [name, path] : one) {
    std::string want = slurp(card + "/DCIM/100CANON/" + name);
    EXPECT_EQ(slurp(path), want) << path;
    EXPECT_EQ(slurp(two[name]), want) << two[name];
  }
  // And once more: nothing left to copy.
  auto again = c.run(args);
  EXPECT_EQ(again.status, 0);
  EXPECT_TRUE(has(again, "복사 0 · 기존 500")) << again.out;
}

// Killed the moment a new hash-list generation is created, before it is written or chained: the
// next run finds nothing to copy, yet it repairs the chain, and the folder verifies.
TEST(IngestKill, KilledAsAGenerationAppearsTheNextRunRepairsTheChain) {
  Cli c;
  const std::vector<std::string> args = {c.card, "--project", "gen", "--dest", c.d1};
  ASSERT_EQ(c.run(args).status, 1) << "one copy: yellow";
  const std::string mhl = only("'" + c.d1 + "'/*_gen") + "/ascmhl";
  writePattern(c.card + "/PRIVATE/M4ROOT/CLIP/C0003.MP4", 5000, 7);

  const int watch = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, mhl.c_str(), IN_CREATE), 0);
  pid_t pid = spawn(c.dir.path + "/home", args);
  alignas(inotify_event) char buf[4096];
  for (bool seen = false; !seen;) {
    ssize_t n = ::read(watch, buf, sizeof buf);
    ASSERT_GT(n, 0);
    for (char* p = buf; p < buf + n;
         p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
      seen = seen || std::string(reinterpret_cast<inotify_event*>(p)->name).ends_with(".mhl");
  }
  ::kill(pid, SIGKILL);
  ::close(watch);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status));
  // The next run comes after the killed one has surely gone: a generation cut short only moments
  // ago could still be another program's, being written, and is left alone. Its age, not a wait.
  ASSERT_EQ(sh("touch -m -d '1 minute ago' '" + mhl + "'/*.mhl"), 0);

  auto again = c.run(args);
  EXPECT_EQ(again.status, 1) << again.out;
  auto check = c.run({parentPath(mhl)}, "verify");
  EXPECT_EQ(check.status, 0) << check.out;
}

}  // namespace
}  // namespace tolverdine
