#include "engine/copy/copy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/copy/copy_group.h"
#include "engine/copy/ingest_test_util.h"
#include "engine/copy/medium_read.h"
#include "testing/fault_fs.h"

namespace tolverdine {
namespace {

using testing::flipOnDevice;
using testing::thrown;

int openFds() {
  int n = 0;
  for (auto& e : std::filesystem::directory_iterator("/proc/self/fd")) (void)e, ++n;
  return n;
}

// One file copied, with the card's times, to two parts at every block boundary.
TEST(Copy, EveryBlockBoundaryGivesIdenticalPartsAndTheSourceHash) {
  TempDir t;
  const std::string src = t.path + "/src";
  unsigned seed = 1;
  for (size_t size : {size_t{0}, size_t{5000}, kBlockSize, kBlockSize + 1, 3 * kBlockSize - 7}) {
    SCOPED_TRACE(size);
    writePattern(src, size, seed++);
    std::vector<Part> parts = {{7, t.path + "/a.part"}, {8, t.path + "/b.part"}};
    Hashes h = copyOnce(src, parts, {{1600000000, 123456789}, {1500000000, 987654321}}, true,
                        size == 5000);
    EXPECT_EQ(h.xxh64, xxh64(slurp(src)));
    EXPECT_EQ(h.md5, shellOutput("md5sum " + src).out.substr(0, 32));
    for (const Part& p : parts) {
      struct stat st {};
      ::stat(p.path.c_str(), &st);
      EXPECT_EQ(std::tuple(st.st_mode & 0777, st.st_atim.tv_sec, st.st_atim.tv_nsec,
                           st.st_mtim.tv_sec, st.st_mtim.tv_nsec),
                std::tuple(0644u, 1600000000L, 123456789L, 1500000000L, 987654321L));
      EXPECT_EQ(hashFile(p.path), h.xxh64) << p.path;  // after the times: it reads
      ::unlink(p.path.c_str());
    }
  }
  // A temporary already there (another run's, or a link to the card) is never written through.
  writeFile(t.path + "/a.part", "theirs");
  ASSERT_EQ(::symlink(src.c_str(), (t.path + "/b.part").c_str()), 0);
  const std::string card = slurp(src);
  for (const char* name : {"/a.part", "/b.part"})
    EXPECT_EQ(thrown<IOFail>([&] {
                copyOnce(src, {{7, t.path + name}}, {}, false, false);
              }),
              (IOFail{EEXIST, 7}));
  EXPECT_EQ(slurp(t.path + "/a.part"), "theirs");
  EXPECT_TRUE(slurp(src) == card);
}

// Over several blocks: reads that give less than asked still copy everything; a read that ends
// the file early, or fails, fails the copy and the read-back instead of passing for a whole file.
TEST(Copy, ShortEarlyEndingAndFailedReadsOfALargeFile) {
  TempDir t;
  const std::string src = t.path + "/src";
  writePattern(src, 2 * kBlockSize + 4097, 21);
  const std::string want = *hashFile(src);
  for (bool cached : {true, false}) {
    SCOPED_TRACE(cached);
    testing::FaultFs shortFs({.shortReads = true});
    ::unlink((t.path + "/a.part").c_str());  // temporaries are created, never written over
    EXPECT_EQ(copyOnce(src, {{0, t.path + "/a.part"}}, {}, false, cached, {}, shortFs).xxh64, want);
    EXPECT_EQ(hashFile(t.path + "/a.part", {}, shortFs), want);
    for (int err : {0, EIO}) {
      for (long k : {2, 3}) {  // the second block, the tail
        SCOPED_TRACE(std::to_string(err) + " at read " + std::to_string(k));
        // Failed, or (a direct read tried again buffered) whole: never a shorter copy.
        testing::FaultPlan plan{.readPath = src, .readAt = k, .readErr = err};
        testing::FaultFs fs(plan);
        std::string got;
        ::unlink((t.path + "/b.part").c_str());
        auto f = thrown<IOFail>([&] {
          got = copyOnce(src, {{0, t.path + "/b.part"}}, {}, false, cached, {}, fs).xxh64;
        });
        EXPECT_TRUE(f ? !f->dest : got == want);
        EXPECT_TRUE(f || !cached) << "a buffered read that ends early is not tried again";
        plan.readPath = t.path + "/a.part";
        testing::FaultFs back(plan);
        auto h = hashFile(t.path + "/a.part", {}, back);
        EXPECT_TRUE(!h || *h == want) << *h;
      }
    }
  }
}

TEST(Copy, FailuresNameTheRightSideAndLeakNoDescriptor) {
  TempDir t;
  const std::string src = t.path + "/src";
  writePattern(src, 100000, 4);
  LoopMount full(8), ro(8, "ext4", "ro");
  const int fds = openFds();
  auto fail = [&](const std::string& from, const std::vector<Part>& parts, Fs& fs = realFs()) {
    return thrown<IOFail>([&] { copyOnce(from, parts, {}, false, false, {}, fs); });
  };
  EXPECT_EQ(fail(t.path + "/nope", {{7, t.path + "/x.part"}}), (IOFail{ENOENT, std::nullopt}));
  EXPECT_FALSE(exists(t.path + "/x.part"));
  // A source that opens but cannot be read is a source failure.
  EXPECT_EQ(fail(t.path, {{7, t.path + "/d.part"}}), (IOFail{EISDIR, std::nullopt}));
  // The second part's folder is missing: the first was created and is empty, the third untouched.
  EXPECT_EQ(fail(src, {{7, t.path + "/a.part"}, {8, t.path + "/gone/b"}, {9, t.path + "/c.part"}}),
            (IOFail{ENOENT, 8}));
  EXPECT_EQ(slurp(t.path + "/a.part"), "");
  EXPECT_FALSE(exists(t.path + "/c.part"));
  // Every failed call on a destination's side (create, write, flush) fails the copy and names it.
  testing::FaultPlan plan{.kinds = testing::kFsWrite};
  for (plan.failAt = 1;; ++plan.failAt) {
    testing::FaultFs fs(plan);
    ::unlink((t.path + "/e.part").c_str());
    auto f = fail(src, {{5, t.path + "/e.part"}}, fs);
    if (!fs.fired()) break;
    EXPECT_EQ(f, (IOFail{EIO, 5})) << "call " << plan.failAt;
  }
  if (full.ok() && ro.ok()) {
    writePattern(src, 20u << 20, 5);
    EXPECT_EQ(fail(src, {{3, t.path + "/ok.part"}, {4, full.path() + "/big.part"}}),
              (IOFail{ENOSPC, 4}));
    EXPECT_EQ(fail(src, {{2, ro.path() + "/x.part"}}), (IOFail{EROFS, 2}));
  }
  EXPECT_EQ(openFds(), fds);
}

// A direct read asks for little more than the file holds; a file longer than when it was opened
// is still read to its end, and one exactly as long in one read.
TEST(Copy, DirectReadsStopAtTheEndOfTheFileAsItIsNow) {
  TempDir t;
  const std::string path = t.path + "/f";
  AlignedBuffer buf(1u << 20, kBufferAlign);
  for (size_t grown : {size_t{0}, size_t{3 * 4096 + 10}, size_t{2u << 20}}) {
    SCOPED_TRACE(grown);
    writePattern(path, 5000, 3);
    MediumReader in;
    ASSERT_EQ(in.open(path, /*cached=*/false), 0);
    writePattern(t.path + "/more", grown, 4);
    sh("cat '" + t.path + "/more' >> '" + path + "'");  // after the open
    const std::string whole = slurp(path);
    std::string got;
    for (size_t n = buf.size(); n == buf.size(); got.append(buf.data(), n))
      n = in.fill(buf.data(), buf.size(), std::nullopt);
    EXPECT_TRUE(got == whole) << got.size() << " of " << whole.size();
  }
}

// Every read-back reads the drive, not pages cached from the write: a byte changed on the drive
// behind the cache is seen, by a large copy's read-back and by a group's after its flush.
TEST(CopyGroup, ReadBacksSeeAByteChangedOnTheDriveBehindTheCache) {
  LoopMount disk(64);
  SKIP_UNLESS_MOUNTED(disk);
  TempDir t;
  std::string src = t.path + "/src", dst = disk.path() + "/clip.mov";
  writePattern(src, 3u << 20, 7);
  Hashes h = copyOnce(src, {{0, dst}}, {}, false, false);
  std::string onDisk = slurp(dst);  // the file's pages are in the cache now
  ASSERT_EQ(xxh64(onDisk), h.xxh64);
  flipOnDevice(disk, dst, 1000);
  onDisk[1000] ^= 0x20;
  ASSERT_EQ(xxh64(slurp(dst)), h.xxh64) << "a buffered read-back would be served from the cache";
  EXPECT_EQ(hashFile(dst), xxh64(onDisk));
  // Where the file system takes no direct I/O, the pages cached earlier are dropped first: the
  // changed bytes are read into memory again, and the drive behind them changed back.
  ASSERT_EQ(xxh64(slurp(dst)), xxh64(onDisk));
  flipOnDevice(disk, dst, 1000);
  testing::FaultFs noDirect({.failAt = 1, .err = EINVAL});
  EXPECT_EQ(hashFile(dst, {}, noDirect), h.xxh64);

  const std::string small = t.path + "/IMG_0001.JPG", part = disk.path() + "/IMG_0001.JPG.part";
  writePattern(small, 300000, 7);
  std::string changed = slurp(small);
  AlignedBuffer buf(kBlockSize, kBufferAlign);
  SmallCopy c = copySmall(small, {Part{0, part}}, {}, true, buf.data(), kBlockSize, true);
  EXPECT_EQ(c.hashes.md5, shellOutput("md5sum " + small).out.substr(0, 32));
  std::vector<PendingPart*> parts{&c.parts[0]};
  flushParts(parts);
  ASSERT_EQ(c.parts[0].err, 0);
  EXPECT_FALSE(c.parts[0].fd);
  EXPECT_EQ(slurp(part), changed);
  flipOnDevice(disk, part, 1000);
  ASSERT_EQ(slurp(part), changed) << "the change must lie behind the page cache";
  changed[1000] ^= 0x20;
  readBackParts(parts);
  EXPECT_EQ(c.hashes.xxh64, xxh64(slurp(small)));
  EXPECT_EQ(c.parts[0].back, xxh64(changed));
}

TEST(CopyGroup, GroupOfPartsOnTwoDrivesAndAFailedOne) {
  TempDir t;
  mkdirs(t.path + "/b");
  AlignedBuffer buf(kBlockSize, kBufferAlign);
  std::vector<SmallCopy> copies;
  std::vector<PendingPart*> a, b;
  for (unsigned i = 0; i < 4; ++i) {
    const std::string src = t.path + "/s" + std::to_string(i), n = std::to_string(i);
    writePattern(src, 1000 * i, i);  // the first is empty
    // A part folder that does not exist yet is made.
    copies.push_back(copySmall(src, {Part{0, t.path + "/a/x/" + n}, Part{1, t.path + "/b/" + n}},
                               {}, false, buf.data(), kBlockSize, false));
  }
  for (auto& c : copies) a.push_back(&c.parts[0]), b.push_back(&c.parts[1]);
  flushParts(a);
  flushParts(b);
  ::unlink(b[2]->path.c_str());  // gone before it is read back
  readBackParts(a);
  readBackParts(b);
  for (size_t i = 0; i < copies.size(); ++i) {
    EXPECT_EQ(copies[i].hashes.xxh64, xxh64(slurp(t.path + "/s" + std::to_string(i))));
    EXPECT_EQ(a[i]->back, copies[i].hashes.xxh64) << i;
    EXPECT_EQ(b[i]->back, i == 2 ? std::nullopt : std::optional(copies[i].hashes.xxh64)) << i;
  }

  // A failed write and a failed sync of the group fail the part (the fault sweep fails every
  // other call).
  for (long at : {2, 3}) {
    testing::FaultFs fs({.failAt = at, .kinds = testing::kFsWrite});
    int err = 0;
    auto f = thrown<IOFail>([&] {
      SmallCopy c = copySmall(t.path + "/s1", {Part{3, t.path + "/a/f" + std::to_string(at)}}, {},
                              false, buf.data(), kBlockSize, true, fs);
      flushParts({&c.parts[0]}, fs);
      err = c.parts[0].err;
    });
    EXPECT_EQ(f ? (f->dest == 3 ? f->err : -1) : err, EIO) << "call " << at;
  }
  // A source that cannot be read is the source's failure; a part that cannot be created is its
  // destination's.
  auto fail = [&](const std::string& src, const std::vector<Part>& parts) {
    return thrown<IOFail>([&] { copySmall(src, parts, {}, false, buf.data(), kBlockSize, true); });
  };
  EXPECT_EQ(fail(t.path + "/none", {Part{0, t.path + "/a/n"}}), (IOFail{ENOENT, std::nullopt}));
  writeFile(t.path + "/file", "x");
  EXPECT_EQ(fail(t.path + "/s1", {Part{0, t.path + "/a/ok"}, Part{7, t.path + "/file/sub/p"}}),
            (IOFail{ENOTDIR, 7}));
}

TEST(CopyGroup, TemporariesAreFreshWithinTheNameLimitAndOnlyStaleOnesGo) {
  TempDir t;
  const std::string own = std::to_string(::getpid());
  const std::string a = partPathFor(t.path + "/C0001.MP4");
  EXPECT_NE(partPathFor(t.path + "/C0001.MP4"), a) << "two runs never write one temporary";
  EXPECT_TRUE(a.starts_with(t.path + "/C0001.MP4." + own + "-") && a.ends_with(".part")) << a;
  // (A name too long for the suffix is the pipeline test's.)

  const std::string dead = std::to_string(testing::deadPid());
  struct Case {
    std::string name;
    bool goes;
  } cases[] = {
      {"C1.MP4." + dead + "-0123abcd.part", true},       // an interrupted run's
      {".tolverdine-" + dead + "-0123abcd.part", true},  // its short form
      {".tolverdine-0123456789abcdef.part", true},       // a build before unique names
      {"C2.MP4." + own + "-0123abcd.part", true},        // an earlier job of this process
      {"C3.MP4." + own + "-4567abcd.part", false},       // a job of this process writing it now
      {"C4.MP4.1-0123abcd.part", false},                 // a process still running
      {"notes.part", false},
      {"C5.MP4.part", false},
      {"C6.MP4." + dead + "-0123abcd.partial", false},
  };
  for (const auto& c : cases) writeFile(t.path + "/" + c.name, "x");
  LiveTemp writing(t.path + "/" + cases[4].name);
  EXPECT_EQ(removeStaleParts(t.path, 0), 0) << "nothing older than the run";
  EXPECT_EQ(removeStaleParts(t.path, wallClockNs() + 1000000000), 4);
  for (const auto& c : cases) EXPECT_EQ(exists(t.path + "/" + c.name), !c.goes) << c.name;

  // An old build's "<target>.part" goes when this run copies that target, and only then.
  PartSweeper sweeper(wallClockNs() + 1000000000, realFs());
  sweeper.before(t.path + "/C5.MP4");
  EXPECT_FALSE(exists(t.path + "/C5.MP4.part"));
  EXPECT_TRUE(exists(t.path + "/notes.part"));
}

}  // namespace
}  // namespace tolverdine
