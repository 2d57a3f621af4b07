// Grouped small-file copies: the read-back after the flush reads the drive, not memory.
#include "engine/copy/copy_group.h"
#include <sys/wait.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/copy/medium_read.h"
#include "testing/fault_fs.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

// Where a file's first byte lies on its device (FIEMAP), or -1.
int64_t physicalOffset(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  alignas(fiemap) char raw[sizeof(fiemap) + sizeof(fiemap_extent)] = {};
  auto* fm = reinterpret_cast<fiemap*>(raw);
  fm->fm_length = ~0ull;
  fm->fm_flags = FIEMAP_FLAG_SYNC;
  fm->fm_extent_count = 1;
  if (::ioctl(fd.get(), FS_IOC_FIEMAP, fm) != 0 || fm->fm_mapped_extents < 1) return -1;
  return static_cast<int64_t>(fm->fm_extents[0].fe_physical);
}

TEST(CopyGroup, ReadBackSeesAByteChangedOnTheDriveBehindTheCache) {
  LoopMount drive(32);
  SKIP_UNLESS_MOUNTED(drive);
  TempDir t;
  const std::string src = t.path + "/IMG_0001.JPG";
  writePattern(src, 300000, 7);
  std::string original = slurp(src);

  AlignedBuffer buf(kBlockSize, kBufferAlign);
  const std::string part = drive.path() + "/IMG_0001.JPG.part";
  SmallCopy c = copySmall(src, {Part{0, part}}, {}, true, buf.data(), kBlockSize, true);
  EXPECT_EQ(c.bytes, 300000);
  EXPECT_EQ(c.hashes.xxh64, xxh64(original));
  ASSERT_TRUE(c.hashes.md5);
  EXPECT_EQ(c.hashes.md5->size(), 32u);
  std::vector<PendingPart*> parts{&c.parts[0]};
  flushParts(parts);
  ASSERT_EQ(c.parts[0].err, 0);
  EXPECT_FALSE(c.parts[0].fd);

  // One byte of the copy changed on the drive itself, through the image file under the loop
  // device; the file's pages are first read into the cache so that a cached read sees the old one.
  int64_t at = physicalOffset(part);
  ASSERT_GE(at, 0);
  EXPECT_EQ(slurp(part), original);
  {
    UniqueFd img(::open(drive.image().c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(img);
    char b = 0;
    ASSERT_EQ(::pread(img.get(), &b, 1, at + 1000), 1);
    b ^= 0x20;
    ASSERT_EQ(::pwrite(img.get(), &b, 1, at + 1000), 1);
    ASSERT_EQ(::fsync(img.get()), 0);
  }
  std::string changed = original;
  changed[1000] ^= 0x20;
  ASSERT_EQ(slurp(part), original)
      << "the change must lie behind the page cache for this test to mean anything";

  int64_t heard = 0;
  readBackParts(parts, [&](size_t i, int64_t n) {
    EXPECT_EQ(i, 0u);
    heard += n;
  });
  ASSERT_TRUE(c.parts[0].back);
  EXPECT_EQ(*c.parts[0].back, xxh64(changed));
  EXPECT_NE(*c.parts[0].back, c.hashes.xxh64);
  EXPECT_EQ(heard, 300000);
}

TEST(CopyGroup, GroupOfPartsOnTwoDrivesAndAFailedOne) {
  TempDir t;
  mkdirs(t.path + "/a");
  mkdirs(t.path + "/b");
  AlignedBuffer buf(kBlockSize, kBufferAlign);
  std::vector<SmallCopy> copies;
  for (int i = 0; i < 5; ++i) {
    std::string src = t.path + "/s" + std::to_string(i);
    writePattern(src, 1000u * static_cast<unsigned>(i),
                 static_cast<unsigned>(i));  // the first is empty
    // A part folder that does not exist yet is made.
    copies.push_back(copySmall(src,
                               {Part{0, t.path + "/a/x/" + std::to_string(i)},
                                Part{1, t.path + "/b/" + std::to_string(i)}},
                               {}, false, buf.data(), kBlockSize, false));
  }
  std::vector<PendingPart*> a, b;
  for (auto& c : copies) {
    a.push_back(&c.parts[0]);
    b.push_back(&c.parts[1]);
  }
  flushParts(a);
  flushParts(b);
  ::unlink(b[2]->path.c_str());  // gone before it is read back
  readBackParts(a);
  readBackParts(b);
  for (size_t i = 0; i < copies.size(); ++i) {
    EXPECT_EQ(a[i]->back, copies[i].hashes.xxh64) << i;
    if (i != 2) {
      EXPECT_EQ(b[i]->back, copies[i].hashes.xxh64) << i;
    }
  }
  EXPECT_FALSE(b[2]->back);
  EXPECT_EQ(copies[0].hashes.xxh64, xxh64(""));

  // Every failed call on the destination's side (create, write, the group's sync) fails the part.
  testing::FaultPlan plan;
  plan.kinds = testing::kFsWrite;
  for (long k = 1;; ++k) {
    plan.failAt = k;
    testing::FaultFs fs(plan);
    int err = 0;
    try {
      SmallCopy c = copySmall(t.path + "/s1", {Part{3, t.path + "/a/f" + std::to_string(k)}}, {},
                              false, buf.data(), kBlockSize, true, fs);
      flushParts({&c.parts[0]}, fs);
      err = c.parts[0].err;
    } catch (const IOFail& f) {
      err = f.dest == 3 ? f.err : -1;
    }
    if (!fs.fired()) break;
    EXPECT_EQ(err, EIO) << "call " << k;
  }

  // A source that cannot be read is the source's failure; a part that cannot be created is its
  // destination's.
  try {
    copySmall(t.path + "/none", {Part{0, t.path + "/a/n"}}, {}, false, buf.data(), kBlockSize,
              true);
    ADD_FAILURE();
  } catch (const IOFail& f) {
    EXPECT_EQ(f.err, ENOENT);
    EXPECT_FALSE(f.dest);
  }
  writeFile(t.path + "/file", "x");
  try {
    copySmall(t.path + "/s1", {Part{0, t.path + "/a/ok"}, Part{7, t.path + "/file/sub/p"}}, {},
              false, buf.data(), kBlockSize, true);
    ADD_FAILURE();
  } catch (const IOFail& f) {
    EXPECT_EQ(f.dest, 7);
  }
}

TEST(CopyGroup, TemporariesAreFreshWithinTheNameLimitAndOnlyStaleOnesGo) {
  TempDir t;
  const std::string own = std::to_string(::getpid());
  const std::string a = partPathFor(t.path + "/C0001.MP4");
  EXPECT_NE(partPathFor(t.path + "/C0001.MP4"), a) << "two runs never write one temporary";
  EXPECT_TRUE(a.starts_with(t.path + "/C0001.MP4." + own + "-") && a.ends_with(".part")) << a;
  std::string longName(251, 'a');
  longName += ".JPG";  // 255 bytes: the longest name ext4 takes
  std::string p = partPathFor(t.path + "/new/" + longName);
  EXPECT_EQ(parentPath(p), t.path + "/new");
  EXPECT_LE(lastComponent(p).size(), 255u);
  EXPECT_TRUE(p.ends_with(".part"));

  pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ::waitpid(gone, nullptr, 0);
  const std::string dead = std::to_string(gone);
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
}

}  // namespace
}  // namespace tolverdine
