#include "engine/copy/preflight.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/base/lock_file.h"
#include "engine/base/text.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

namespace fs = std::filesystem;

int64_t statvfsBytes(const std::string& p) {
  struct statvfs vs;
  if (::statvfs(p.c_str(), &vs) != 0) return -1;
  return static_cast<int64_t>(vs.f_bavail) * static_cast<int64_t>(vs.f_frsize);
}

Row sized(const std::string& src, std::optional<std::string> dest, int64_t size,
          std::optional<std::string> view = {}) {
  Row r;
  r.src = src;
  r.dest = std::move(dest);
  r.view = std::move(view);
  r.size = size;
  return r;
}

// A child process that lives until the returned guard ends it.
struct LiveChild {
  LiveChild() {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::close(fds[1]);
      char c;
      (void)!::read(fds[0], &c, 1);
      ::_exit(0);
    }
    ::close(fds[0]);
    wfd = fds[1];
  }
  ~LiveChild() {
    if (wfd >= 0) ::close(wfd);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
  }
  pid_t pid = -1;
  int wfd = -1;
};

pid_t deadPid() {
  pid_t p = ::fork();
  if (p == 0) ::_exit(0);
  ::waitpid(p, nullptr, 0);
  return p;
}

// Runs fn in a child whose effective user is nobody; its result, or -1 when that is not possible.
int asNobody(const std::function<int()>& fn) {
  if (::geteuid() != 0) return -1;
  pid_t p = ::fork();
  if (p == 0) {
    // Real and effective ids both: kill() lets a real root signal anything.
    if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
        ::setresuid(65534, 65534, 65534) != 0)
      ::_exit(200);
    ::_exit(fn());
  }
  int status = 0;
  ::waitpid(p, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool locked(const std::string& reports, const std::string& cam) {
  try {
    takeLock(reports, cam);
    return false;
  } catch (const IngestStop& s) {
    return s == IngestStop::locked(cam);
  }
}

// Empty for a file that is not there (yet): the lock tests poll for it.
std::string content(const std::string& p) {
  std::string s;
  readFile(p, &s);
  return s;
}

TEST(Preflight, DeviceAndPresence) {
  TempDir t;
  struct stat st;
  ASSERT_EQ(::stat(t.path.c_str(), &st), 0);
  EXPECT_EQ(devOf(t.path), st.st_dev);
  EXPECT_EQ(devOf(t.path + "/missing"), std::nullopt);
  EXPECT_TRUE(present(t.path, st.st_dev));
  EXPECT_FALSE(present(t.path, st.st_dev + 1));
  EXPECT_FALSE(present(t.path + "/missing", st.st_dev));
}

TEST(Preflight, AvailableBytesOfNearestAncestorAndExactMargin) {
  LoopMount m(16);
  SKIP_UNLESS_MOUNTED(m);
  EXPECT_EQ(availableBytes(m.path() + "/not/yet/there"), statvfsBytes(m.path()));
  int64_t root = availableBytes("/tolverdine-missing-top/a/b");
  EXPECT_NEAR(static_cast<double>(root), static_cast<double>(statvfsBytes("/")),
              64.0 * 1024 * 1024);
  EXPECT_GT(root, 0);

  // Bring the free space to a multiple of 21 blocks, so a plan of exactly free / 1.05 exists.
  struct statvfs vs;
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(::statvfs(m.path().c_str(), &vs), 0);
    if (vs.f_bavail % 21 == 0) break;
    int fd = ::open((m.path() + "/fill" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::posix_fallocate(fd, 0, static_cast<off_t>((vs.f_bavail % 21) * vs.f_frsize)), 0);
    ::close(fd);
  }
  ASSERT_EQ(vs.f_bavail % 21, 0u);
  int64_t free = availableBytes(m.path() + "/proj");
  ASSERT_EQ(free, static_cast<int64_t>(vs.f_bavail * vs.f_frsize));
  int64_t exact = free / 21 * 20;  // exact * 1.05 == free
  std::vector<Row> rows = {sized("/c/a", "a", exact / 2), sized("/c/b", "b", exact - exact / 2)};
  EXPECT_EQ(spaceShort(rows, m.path() + "/proj"), std::nullopt) << "exactly the margin fits";
  rows[1].size += 1;
  auto s = spaceShort(rows, m.path() + "/proj");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->need, exact + 1);
  EXPECT_EQ(s->free, free);
}

TEST(Preflight, PlanProblems) {
  TempDir t;
  ASSERT_TRUE(mkdirs(t.path + "/z"));
  writeFile(t.path + "/z/C.MP4", "abc");
  writeFile(t.path + "/z/D.MP4", "abcd");
  ASSERT_TRUE(mkdirs(t.path + "/f/E.MP4"));
  struct stat st;
  ASSERT_EQ(::stat((t.path + "/f/E.MP4").c_str(), &st), 0);

  std::vector<Row> rows = {
      sized("/card/A.MP4", "x/A.MP4", 1),
      sized("/card/A.MP4", "x/A.MP4", 1),             // the same file listed twice
      sized("/card/B.MP4", "y/B.MP4", 1, "x/A.MP4"),  // its view lands on A's place
      sized("/card/C.MP4", "z/C.MP4", 5),             // other file already there
      sized("/card/D.MP4", "z/D.MP4", 4),             // same size: compared later by content
      sized("/card/E.MP4", "f/E.MP4", st.st_size),    // a folder, whatever size it reports
      sized("/card/카드.MP4", "k/카드.MP4", 1),
      sized("/card2/카드.MP4", "k/\u1110\u1161\u11ab.MP4", 1),  // decomposed 탄 is another name
      sized("/card3/탄.MP4", "k/탄.MP4", 1),
  };
  EXPECT_EQ(
      planProblems(rows, t.path),
      (std::vector<std::string>{"같은 자리로 가는 두 파일: x/A.MP4 ← A.MP4 / B.MP4",
                                "이미 다른 파일이 있음: z/C.MP4", "이미 다른 파일이 있음: f/E.MP4",
                                "같은 자리로 가는 두 파일: k/탄.MP4 ← 카드.MP4 / 탄.MP4"}));
  EXPECT_TRUE(planProblems({}, t.path).empty());
}

TEST(Preflight, LockTextAndTakeOver) {
  TempDir t;
  std::string reports = t.path + "/_리포트";
  ASSERT_TRUE(mkdirs(reports));
  std::string p = takeLock(reports, "\u1100\u1161\u11b7");  // 감, decomposed
  EXPECT_EQ(p, reports + "/lock_감.json");
  EXPECT_TRUE(fs::exists(fs::path(p)));
  std::regex shape(
      R"re(\{"pid": (\d+), "at": "(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)", "by": "tolverdine-mac", "host": "([^"]*)"\})re");
  std::smatch m;
  std::string text = content(p);
  ASSERT_TRUE(std::regex_match(text, m, shape)) << text;
  EXPECT_EQ(m[1].str(), std::to_string(::getpid()));
  EXPECT_LE(std::abs(parseIsoUtc(m[2].str()) - ::time(nullptr)), 5);
  EXPECT_EQ(m[3].str(), thisHost());

  auto takenOver = [&](const std::string& old) {
    writeFile(p, old);
    if (locked(reports, "감")) return false;
    return content(p) != old &&
           content(p).find("\"pid\": " + std::to_string(::getpid()) + ",") == 1;
  };
  std::string here = thisHost();
  EXPECT_TRUE(takenOver(lockContent(::getpid(), isoTime(::time(nullptr) - 100), here)))
      << "own pid";
  EXPECT_TRUE(takenOver(lockContent(deadPid(), isoNow(), here))) << "ended process";
  // Any text parseLock refuses (see LockTextReadsBackAsWritten) is no lock.
  EXPECT_TRUE(takenOver("{\"pid\": 12")) << "invalid JSON";

  LiveChild child;
  ASSERT_GT(child.pid, 0);
  for (const std::string& held :
       {lockContent(child.pid, isoNow(), here),
        "{\"pid\": " + std::to_string(child.pid) + "}"}) {  // without host
    writeFile(p, held);
    EXPECT_TRUE(locked(reports, "감")) << held;
    EXPECT_EQ(content(p), held) << "a held lock is left alone";
  }
  EXPECT_FALSE(locked(reports, "을")) << "another camera has its own lock";

  // Missing reports folder: the write failure is not a stop.
  EXPECT_EQ(takeLock(t.path + "/missing", "A"), t.path + "/missing/lock_A.json");
}

TEST(Preflight, ForeignHostLockExpiresByAge) {
  TempDir t;
  std::string p = t.path + "/lock_A.json";
  std::time_t now = ::time(nullptr);
  std::string other = thisHost() + "-other";
  // Another computer's pid means nothing here: ours and a dead one both hold while fresh.
  writeFile(p, lockContent(::getpid(), isoTime(now - 60), other));
  EXPECT_TRUE(locked(t.path, "A"));
  writeFile(p, lockContent(deadPid(), isoTime(now - 11 * 3600), other));
  EXPECT_TRUE(locked(t.path, "A"));
  writeFile(p, lockContent(::getpid(), isoTime(now - 13 * 3600), other));
  EXPECT_FALSE(locked(t.path, "A")) << "13 hours old";
  EXPECT_NE(content(p).find("\"host\": \"" + thisHost() + "\""), std::string::npos);
  writeFile(p, lockContent(::getpid(), isoTime(now + 13 * 3600), other));
  EXPECT_FALSE(locked(t.path, "A")) << "dated 13 hours ahead";
  writeFile(p, lockContent(::getpid(), "9999-12-31T23:59:59Z", other));
  EXPECT_FALSE(locked(t.path, "A")) << "a year far ahead";
  writeFile(p, lockContent(::getpid(), isoTime(now + 3600), other));
  EXPECT_TRUE(locked(t.path, "A")) << "a clock an hour fast";

  // Without a readable time the file's age decides.
  std::string noTime = "{\"pid\": 5, \"at\": \"yesterday\", \"host\": \"" + other + "\"}";
  writeFile(p, noTime);
  EXPECT_TRUE(locked(t.path, "A"));
  struct timeval old[2] = {{now - 13 * 3600, 0}, {now - 13 * 3600, 0}};
  ASSERT_EQ(::utimes(p.c_str(), old), 0);
  EXPECT_FALSE(locked(t.path, "A"));
}

TEST(Preflight, LockTextReadsBackAsWritten) {
  // Any text in "at" or "host" stays one JSON object that reads back the same.
  for (const LockRecord& r :
       {LockRecord{7, "2026-03-01T09:30:00Z", "cart"}, LockRecord{1, "a\"b\\", "h\n\"x\"}"},
        LockRecord{2147483647, "", ""}}) {
    auto back = parseLock(lockContent(r.pid, r.at, r.host));
    ASSERT_TRUE(back) << lockContent(r.pid, r.at, r.host);
    EXPECT_EQ(*back, r);
  }
  // pid 0 and negative ones would ask a process group, which always answers: never a holder.
  for (const char* bad :
       {"", "{\"pid\": 12", "[1]", "{\"at\": \"2026-01-01T00:00:00Z\"}", "{\"pid\": 0}",
        "{\"pid\": -1}", "{\"pid\": -3}", "{\"pid\": 2147483648}", "{\"pid\": 1099511627776}",
        "{\"pid\": 1.5}", "{\"pid\": \"12\"}", "{\"pid\": 18446744073709551615}"})
    EXPECT_FALSE(parseLock(bad)) << bad;
  EXPECT_EQ(parseLock("{\"pid\": 3, \"at\": 5, \"host\": null}"), (LockRecord{3, "", ""}));
}

TEST(Preflight, OtherUsersProcessHoldsAndProbesReportDenial) {
  TempDir t;
  ASSERT_EQ(::chmod(t.path.c_str(), 0755), 0);
  writeFile(t.path + "/lock_A.json",
            "{\"pid\": 1, \"at\": \"2026-01-01T00:00:00Z\", \"by\": \"tolverdine-mac\"}");
  std::string closed = t.path + "/closed";
  ASSERT_TRUE(mkdirs(closed));
  ASSERT_EQ(::chmod(closed.c_str(), 0700), 0);

  int r = asNobody([&] {
    if (::kill(1, 0) == 0 || errno != EPERM) return 10;
    if (!locked(t.path, "A")) return 1;  // pid 1 answers EPERM to nobody: alive
    if (probeWrite(t.path) != EACCES) return 2;
    if (probeRead(closed) != EACCES) return 3;
    return 0;
  });
  if (r == -1) {
    EXPECT_TRUE(locked(t.path, "A")) << "not root: pid 1 already answers EPERM";
    GTEST_SKIP() << "not root: probes of another user not exercised";
  }
  EXPECT_EQ(r, 0);
  EXPECT_TRUE(fs::is_empty(closed));
  for (auto& e : fs::directory_iterator(t.path))
    EXPECT_EQ(e.path().filename().string().rfind(".tolverdine-probe-", 0), std::string::npos);
}

TEST(Preflight, ProbesOnPlainMissingAndReadOnlyFolders) {
  TempDir t;
  EXPECT_EQ(probeWrite(t.path), 0);
  EXPECT_TRUE(fs::is_empty(t.path)) << "probe file removed";
  EXPECT_EQ(probeWrite(t.path + "/missing"), ENOENT);
  EXPECT_EQ(probeRead(t.path), 0) << "an empty folder reads";
  EXPECT_EQ(probeRead(t.path + "/missing"), ENOENT);
  writeFile(t.path + "/file", "x");
  EXPECT_EQ(probeRead(t.path + "/file"), ENOTDIR);
  EXPECT_EQ(probeWrite(t.path + "/file"), ENOTDIR);

  LoopMount ro(16, "ext4", "ro");
  SKIP_UNLESS_MOUNTED(ro);
  EXPECT_EQ(probeWrite(ro.path()), EROFS);
  EXPECT_EQ(probeRead(ro.path()), 0);
}

TEST(Preflight, ProbeWriteOnFullDiskLeavesNothing) {
  LoopMount m(16);
  SKIP_UNLESS_MOUNTED(m);
  std::string fill = m.path() + "/fill";
  int fd = ::open(fill.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  std::string block(1 << 16, 'x');
  for (size_t n = block.size(); n > 0; n /= 2)  // down to the last byte of the last block
    while (::write(fd, block.data(), n) > 0) {
    }
  ::fsync(fd);
  ::close(fd);
  int err = probeWrite(m.path());
  EXPECT_EQ(err, ENOSPC);
  for (auto& e : fs::directory_iterator(m.path()))
    EXPECT_EQ(e.path().filename().string().rfind(".tolverdine-probe-", 0), std::string::npos);
}

}  // namespace
}  // namespace tolverdine
