// Grouped small-file copies: the read-back after the flush reads the drive, not memory.
#include "engine/copy/copy_group.h"

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/copy/ingest_test_util.h"
#include "engine/copy/medium_read.h"
#include "testing/fault_fs.h"

namespace tolverdine {
namespace {

using testing::flipOnDevice;
using testing::thrown;

TEST(CopyGroup, ReadBackSeesAByteChangedOnTheDriveBehindTheCache) {
  LoopMount drive(32);
  SKIP_UNLESS_MOUNTED(drive);
  TempDir t;
  const std::string src = t.path + "/IMG_0001.JPG", part = drive.path() + "/IMG_0001.JPG.part";
  writePattern(src, 300000, 7);
  std::string changed = slurp(src);
  AlignedBuffer buf(kBlockSize, kBufferAlign);
  SmallCopy c = copySmall(src, {Part{0, part}}, {}, true, buf.data(), kBlockSize, true);
  EXPECT_EQ(c.hashes.md5, shellOutput("md5sum " + src).out.substr(0, 32));
  std::vector<PendingPart*> parts{&c.parts[0]};
  flushParts(parts);
  ASSERT_EQ(c.parts[0].err, 0);
  EXPECT_FALSE(c.parts[0].fd);
  // The copy's pages are read into the cache, then one byte changes on the drive itself.
  EXPECT_EQ(slurp(part), changed);
  flipOnDevice(drive, part, 1000);
  ASSERT_EQ(slurp(part), changed) << "the change must lie behind the page cache";
  changed[1000] ^= 0x20;
  int64_t heard = 0;
  readBackParts(parts, [&](size_t i, int64_t n) { heard += n + static_cast<int64_t>(i); });
  EXPECT_EQ(c.hashes.xxh64, xxh64(slurp(src)));
  EXPECT_EQ(c.parts[0].back, xxh64(changed));
  EXPECT_EQ(heard, 300000);
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

  // Every failed call on the destination's side (create, write, the group's sync) fails the part.
  testing::FaultPlan plan;
  plan.kinds = testing::kFsWrite;
  for (plan.failAt = 1;; ++plan.failAt) {
    testing::FaultFs fs(plan);
    int err = 0;
    auto f = thrown<IOFail>([&] {
      SmallCopy c =
          copySmall(t.path + "/s1", {Part{3, t.path + "/a/f" + std::to_string(plan.failAt)}}, {},
                    false, buf.data(), kBlockSize, true, fs);
      flushParts({&c.parts[0]}, fs);
      err = c.parts[0].err;
    });
    if (!fs.fired()) break;
    EXPECT_EQ(f ? (f->dest == 3 ? f->err : -1) : err, EIO) << "call " << plan.failAt;
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
  // 255 bytes: the longest name ext4 takes.
  std::string p = partPathFor(t.path + "/new/" + std::string(251, 'a') + ".JPG");
  EXPECT_EQ(parentPath(p), t.path + "/new");
  EXPECT_LE(lastComponent(p).size(), 255u);
  EXPECT_TRUE(p.ends_with(".part"));

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
}

}  // namespace
}  // namespace tolverdine
