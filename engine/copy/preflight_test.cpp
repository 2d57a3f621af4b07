#include "engine/copy/preflight.h"

#include <grp.h>
#include <sys/statvfs.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include "engine/base/lock_file.h"
#include "engine/copy/ingest_test_util.h"
#include "engine/hashlist/mhl_folder.h"

namespace tolverdine {
namespace {

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
  return testing::thrown<IngestStop>([&] { takeLock(reports, cam); }) == IngestStop::locked(cam);
}

bool probeLeft(const std::string& dir) {
  for (const auto& name : listFolder(dir))
    if (name.starts_with(".tolverdine-probe-")) return true;
  return false;
}

TEST(Preflight, PlanProblems) {
  TempDir t;
  putFile(t.path + "/z/C.MP4", "abc");
  putFile(t.path + "/z/D.MP4", "abcd");
  mkdirs(t.path + "/f/E.MP4");
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
      sized("/card2/카드.MP4", "k/\u1110\u1161\u11ab.MP4", 1),  // 탄 decomposed: the same place
      sized("/card3/탄.MP4", "k/탄.MP4", 1),
  };
  EXPECT_EQ(
      planProblems(rows, t.path),
      (std::vector<std::string>{"같은 자리로 가는 두 파일: x/A.MP4 ← A.MP4 / B.MP4",
                                "이미 다른 파일이 있음: z/C.MP4", "이미 다른 파일이 있음: f/E.MP4",
                                "같은 자리로 가는 두 파일: k/탄.MP4 ← 카드.MP4 / 탄.MP4"}));
}

TEST(Preflight, LockIsTakenOverUnlessALiveIngestHoldsIt) {
  TempDir t;
  std::string reports = t.path + "/_리포트";
  mkdirs(reports);
  std::string p = takeLock(reports, "\u1100\u1161\u11b7");  // 감, decomposed
  EXPECT_EQ(p, reports + "/lock_감.json");
  EXPECT_TRUE(contains(slurp(p), ", \"by\": \"tolverdine-mac\", \"host\": "));

  const std::time_t now = ::time(nullptr);
  const pid_t me = ::getpid(), alive = ::getppid(), dead = testing::deadPid();
  const std::string here = thisHost(), other = here + "-other";
  const std::string no = "{\"pid\": 5, \"at\": \"yesterday\", \"host\": \"" + other + "\"}";
  for (const auto& [text, held, why] : std::vector<std::tuple<std::string, bool, const char*>>{
           {lockContent(me, isoTime(now - 100), here), false, "own pid"},
           {lockContent(dead, isoNow(), here), false, "ended process"},
           {"{\"pid\": 12", false, "invalid JSON"},  // any text parseLock refuses is no lock
           {lockContent(alive, isoNow(), here), true, "live process"},
           {"{\"pid\": " + std::to_string(alive) + "}", true, "live process, no host"},
           // Another computer's pid means nothing here: ours and a dead one both hold while fresh.
           {lockContent(dead, isoTime(now - 11 * 3600), other), true, "other host, 11 hours old"},
           {lockContent(me, isoTime(now - 13 * 3600), other), false, "other host, 13 hours old"},
           {lockContent(me, isoTime(now + 13 * 3600), other), false, "dated 13 hours ahead"},
           {lockContent(me, isoTime(now + 3600), other), true, "a clock an hour fast"},
           {no, true, "no readable time, a fresh file"}}) {
    writeFile(p, text);
    EXPECT_EQ(locked(reports, "감"), held) << why;
    if (held) {
      EXPECT_EQ(slurp(p), text) << "a held lock is left alone: " << why;
      continue;
    }
    auto taken = parseLock(slurp(p));
    ASSERT_TRUE(taken) << why;
    EXPECT_EQ(std::pair(taken->pid, taken->host), std::pair(me, here)) << why;
    EXPECT_LE(std::abs(parseIsoUtc(taken->at) - now), 5) << why;
  }
  writeFile(p, no);
  EXPECT_FALSE(locked(reports, "을")) << "another camera has its own lock";
  // Without a readable time the file's age decides.
  struct timeval old[2] = {{now - 13 * 3600, 0}, {now - 13 * 3600, 0}};
  ASSERT_EQ(::utimes(p.c_str(), old), 0);
  EXPECT_FALSE(locked(reports, "감"));

  // Missing reports folder: the write failure is not a stop.
  EXPECT_EQ(takeLock(t.path + "/missing", "A"), t.path + "/missing/lock_A.json");
}

// Probes of a plain, a missing, another user's, a read-only and a full folder; free bytes.
TEST(Preflight, ProbesFreeBytesAndAnotherUsersProcess) {
  TempDir t;
  const std::string closed = t.path + "/closed";
  mkdirs(closed);
  writeFile(t.path + "/file", "x");
  for (const auto& [dir, write, read] : {std::tuple{closed, 0, 0},  // an empty folder reads
                                         std::tuple{t.path + "/missing", ENOENT, ENOENT},
                                         std::tuple{t.path + "/file", ENOTDIR, ENOTDIR}}) {
    EXPECT_EQ(probeWrite(dir), write) << dir;
    EXPECT_EQ(probeRead(dir), read) << dir;
  }
  EXPECT_FALSE(probeLeft(closed));

  // To nobody, pid 1 answers EPERM: alive, so its lock holds; the probes tell the denial.
  writeFile(t.path + "/lock_A.json",
            "{\"pid\": 1, \"at\": \"2026-01-01T00:00:00Z\", \"by\": \"tolverdine-mac\"}");
  ASSERT_EQ(::chmod(t.path.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(closed.c_str(), 0700), 0);
  int r = asNobody([&] {
    if (::kill(1, 0) == 0 || errno != EPERM) return 10;
    if (!locked(t.path, "A")) return 1;
    if (probeWrite(t.path) != EACCES) return 2;
    if (probeRead(closed) != EACCES) return 3;
    return 0;
  });
  if (r == -1) {
    EXPECT_TRUE(locked(t.path, "A")) << "not root: pid 1 already answers EPERM";
    GTEST_SKIP() << "not root: probes of another user not exercised";
  }
  EXPECT_EQ(r, 0);

  LoopMount ro(16, "ext4", "ro"), full(16);
  SKIP_UNLESS_MOUNTED(ro);
  SKIP_UNLESS_MOUNTED(full);
  // Free bytes of a folder not made yet are those of its nearest existing ancestor.
  EXPECT_EQ(availableBytes(ro.path() + "/not/yet/there"), statvfsBytes(ro.path()));
  EXPECT_NEAR(double(availableBytes("/tolverdine-missing-top/a")), double(statvfsBytes("/")), 64e6);
  EXPECT_EQ(probeWrite(ro.path()), EROFS);
  EXPECT_EQ(probeRead(ro.path()), 0);
  // Filled down to the last byte of the last block.
  sh("cd '" + full.path() + "' && (cat; dd bs=1) </dev/zero >fill 2>/dev/null; sync");
  EXPECT_EQ(probeWrite(full.path()), ENOSPC);
  EXPECT_FALSE(probeLeft(full.path()));
}

}  // namespace
}  // namespace tolverdine
