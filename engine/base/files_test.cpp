#include "engine/base/files.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <thread>

#include <gtest/gtest.h>

#include "engine/base/canonical_path.h"
#include "engine/base/records.h"
#include "engine/base/rename.h"
#include "engine/copy/ingest_test_util.h"
#include "engine/hashlist/mhl_folder.h"
#include "testing/fault_fs.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

// An exclusive write never replaces; names are written composed; mkdirs takes what is there.
TEST(Files, WritesMkdirsAndStaleTemporaries) {
  TempDir t;
  const std::string p = t.path + "/a.txt";
  writeFile(p, "first");
  auto f = testing::thrown<WriteFail>([&] { writeFile(p, "second", true); });
  ASSERT_TRUE(f) << "exclusive write over an existing file must fail";
  EXPECT_EQ(std::tuple(f->err, f->path, slurp(p)), std::tuple(EEXIST, p, "first"));
  EXPECT_THROW(writeFile(t.path + "/missing/x", "x"), WriteFail);
  // "한" decomposed into conjoining jamo is written composed.
  writeFile(t.path + "/\xe1\x84\x92\xe1\x85\xa1\xe1\x86\xab.txt", "x");
  EXPECT_TRUE(exists(t.path + "/한.txt"));
  EXPECT_TRUE(mkdirs(t.path + "//x///y/"));
  EXPECT_TRUE(mkdirs(t.path + "/x/y")) << "a folder already there is no failure";
  EXPECT_FALSE(mkdirs(p + "/sub"));

  // What an atomic write into new folders has written is on the drive when it returns, and a
  // failed flush of the bytes is reported (the fault sweep fails every other call).
  const std::string atomic = t.path + "/a/b/f.json";
  {
    testing::FaultFs fs;
    ASSERT_TRUE(mkdirs(t.path + "/a/b", fs));
    writeFileAtomic(atomic, "new", fs);
    fs.cutPower();
    fs.dropUnsynced();
    EXPECT_EQ(slurp(atomic), "new");
  }
  testing::FaultFs fs({.failAt = 3});
  EXPECT_TRUE(testing::thrown<WriteFail>([&] { writeFileAtomic(atomic, "newer", fs); }));

  // What a crash left is cleared; what someone may still be writing, or did not come from
  // writeFileAtomic, stays.
  EXPECT_TRUE(isAtomicTemp("A_20250101_job.json.tmp-123-45-6"));
  for (const char* n : {"A_job.json", "a.tmp-1-2", "a.tmp-1-2-3-4", "a.tmp-x-2-3", "a.tmp-1--3",
                        ".a.zip.tmp-1-2-3", ".tmp-1-2-3", "a.tmp-1-2-3x", "a.tmp-"})
    EXPECT_FALSE(isAtomicTemp(n)) << n;

  const std::string dead = std::to_string(testing::deadPid());
  const std::string crashed = t.path + "/a_job.json.tmp-" + dead + "-1-2";
  const std::string mine = t.path + "/a_clips.csv.tmp-" + std::to_string(::getpid()) + "-1-2";
  const std::string running = t.path + "/b_job.json.tmp-1-1-2";  // pid 1 is always alive
  const std::string other = t.path + "/notes.txt", folder = t.path + "/c.tmp-" + dead + "-1-2";
  for (const auto& p : {crashed, mine, running, other}) writeFile(p, "x");
  mkdirs(folder);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // file times move in clock ticks
  const int64_t runStart = wallClockNs();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const std::string fresh = t.path + "/d_job.json.tmp-" + dead + "-1-3";
  writeFile(fresh, "x");
  EXPECT_EQ(removeStaleTemps(t.path, runStart), 2);
  for (const auto& p : {crashed, mine, running, other, fresh, folder})
    EXPECT_EQ(exists(p), p != crashed && p != mine) << p;
  EXPECT_EQ(removeStaleTemps(t.path + "/none", runStart), 0);

  // Writers of this process at work while a cleanup runs: none loses its temporary, and the
  // file is one writer's whole text, never a mix.
  std::atomic<bool> stop{false};
  std::atomic<int> failed{0};
  std::thread cleaner([&] {
    while (!stop) removeStaleTemps(t.path, LLONG_MAX);
  });
  const std::string chain = t.path + "/chain.xml";
  std::vector<std::thread> th;
  for (int w = 0; w < 4; ++w)
    th.emplace_back([&, w] {
      const std::string text(100000, char('a' + w));
      for (int i = 0; i < 30; ++i)
        failed += testing::thrown<WriteFail>([&] { writeFileAtomic(chain, text); }).has_value();
    });
  for (auto& x : th) x.join();
  stop = true;
  cleaner.join();
  EXPECT_EQ(failed, 0);
  const std::string got = slurp(chain);
  ASSERT_EQ(got.size(), 100000u);
  EXPECT_EQ(got.find_first_not_of(got[0]), std::string::npos) << "two writers' bytes mixed";
  for (const auto& n : listFolder(t.path)) EXPECT_FALSE(n.starts_with("chain.xml.tmp")) << n;
}

TEST(Records, KeyKeepsSignAndUsesOnlyIdentityAndStopTexts) {
  Row r;
  r.rel = "a.mov";
  r.size = 10;
  r.mtimeNs = -5;
  r.cls = "인터뷰";  // not part of the key
  EXPECT_EQ(ingestKey("B", r), "B|a.mov|10|-5");
  EXPECT_EQ(ingestKey("B", CardFile{r.rel, r.size, r.mtimeNs}), ingestKey("B", r));

  // The texts a stop is told by: at most ten conflicts, sizes in GB.
  std::vector<std::string> lines;
  for (int i = 1; i <= 12; ++i) lines.push_back("p" + std::to_string(i));
  EXPECT_EQ(IngestStop::conflicts(lines).description(),
            "덮어쓰지 않고 멈춥니다:\np1\np2\np3\np4\np5\np6\np7\np8\np9\np10");
  EXPECT_EQ(IngestStop::noSpace("/v/d", 1500000000, 250000000).description(),
            "공간 부족 — /v/d 필요 1.5GB / 남음 0.2GB");
  EXPECT_EQ(IngestStop::unwritable("/mnt/x", EACCES).description(),
            "목적지에 쓸 수 없습니다: /mnt/x — 쓰기 권한이 없습니다");
  EXPECT_EQ(IngestStop::unwritable("/mnt/x", EROFS).description(),
            "목적지에 쓸 수 없습니다: /mnt/x — 읽기 전용으로 연결되어 있습니다");
}

void expectNoReplace(const std::string& dir,
                     int (*move)(const std::string&, const std::string&, Fs&)) {
  const std::string a = dir + "/a.part", b = dir + "/a", c = dir + "/c";
  writeFile(a, "new");
  writeFile(b, "old");
  EXPECT_EQ(move(a, b, realFs()), EEXIST);
  EXPECT_EQ(slurp(a) + slurp(b), "newold");
  EXPECT_EQ(move(a, c, realFs()), 0);
  EXPECT_FALSE(exists(a));
  EXPECT_EQ(slurp(c), "new");
  EXPECT_EQ(move(dir + "/missing", dir + "/d", realFs()), ENOENT);
}

TEST(RenameNoReplace, RefusesAnExistingTargetOnBothPathsAndOnExt4) {
  TempDir t, u;
  expectNoReplace(t.path, renameNoReplace);
  expectNoReplace(u.path, renameByLink);
  LoopMount m(8);
  SKIP_UNLESS_MOUNTED(m);
  expectNoReplace(m.path(), renameNoReplace);
}

// The spellings a user types (relative, doubled slashes, links) are the paths command's test; a
// bind mount showing one folder under another text is the physical-copies command test's.
TEST(CanonicalPath, EverySpellingOfOneFolderGivesOneTextAndNestingIsJudgedOnDisk) {
  TempDir t;
  const std::string base = canonicalPath(t.path), d1 = base + "/D1", d12 = base + "/D12";
  ASSERT_TRUE(mkdirs(d1 + "/a") && mkdirs(d12));
  ASSERT_EQ(::symlink(d1.c_str(), (base + "/link").c_str()), 0);
  for (const auto& [in, out] : std::vector<std::pair<std::string, std::string>>{
           {d1 + "/a/../a/.", d1 + "/a"},
           {base + "/link/a/..", d1},  // ".." after a link climbs from where the link leads
           // A folder not made yet: the existing part resolved, the rest worked out as text.
           {base + "/link/new/../new2//x/", d1 + "/new2/x"},
           {base + "/gone/../D1", d1},
           {base + "/\u1100\u1161", base + "/\uac00"},  // decomposed Hangul becomes composed
           {"/", "/"},
           {"/..", "/"},
           {"", ""}})
    EXPECT_EQ(canonicalPath(in), out) << in;
  EXPECT_EQ(canonicalPaths({d1 + "/", base + "/link", d1, base + "/D1/a"}),
            (std::vector<std::string>{d1, d1 + "/a"}));

  // Slashes, links and folders not made yet are the DestPaths test's (one folder twice in a run);
  // here the first inside the second, a shared text prefix, and which pair overlaps.
  EXPECT_TRUE(sameOrNested(d1 + "/a/x", d1));
  EXPECT_EQ(overlappingPair({d1, d12}), std::nullopt);
  EXPECT_EQ(overlappingPair({d12, d1, base + "/link/a"}), std::make_pair(size_t{1}, size_t{2}));
}

}  // namespace
}  // namespace tolverdine
