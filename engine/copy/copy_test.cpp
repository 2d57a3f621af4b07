#include "engine/copy/copy.h"

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/copy/medium_read.h"
#include "testing/fault_fs.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

std::string md5Of(const std::string& s) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(s.data(), s.size(), d, &len, EVP_md5(), nullptr);
  std::string out;
  char two[3];
  for (unsigned i = 0; i < len; ++i) std::snprintf(two, sizeof two, "%02x", d[i]), out += two;
  return out;
}

int openFds() {
  int n = 0;
  for (auto& e : std::filesystem::directory_iterator("/proc/self/fd")) (void)e, ++n;
  return n;
}

// The failure a call threw; anything thrown that is not an IOFail fails the test.
std::optional<IOFail> failureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const IOFail& e) {
    return e;
  } catch (...) {
    ADD_FAILURE() << "something other than IOFail was thrown";
  }
  return std::nullopt;
}

std::vector<Part> threeParts(const std::string& dir) {
  return {{7, dir + "/a.part"}, {8, dir + "/b.part"}, {9, dir + "/c.part"}};
}

TEST(Copy, EveryBlockBoundaryGivesIdenticalPartsAndTheSourceHash) {
  TempDir t;
  const size_t sizes[] = {0, 5000, kBlockSize, kBlockSize + 1, 3 * kBlockSize - 7};
  unsigned seed = 1;
  for (size_t size : sizes) {
    SCOPED_TRACE(size);
    std::string src = t.path + "/src";
    writePattern(src, size, seed++);
    std::string content = slurp(src);
    ASSERT_EQ(content.size(), size);
    auto parts = threeParts(t.path);
    Hashes h = copyOnce(src, parts, {}, true, size == 5000);
    EXPECT_EQ(h.xxh64, xxh64(content));
    EXPECT_EQ(hashFile(src), h.xxh64);
    EXPECT_EQ(h.md5, md5Of(content));
    for (const Part& p : parts) {
      EXPECT_TRUE(slurp(p.path) == content) << p.path << " differs from the source";
      EXPECT_EQ(hashFile(p.path), h.xxh64);
      struct stat st;
      ASSERT_EQ(::stat(p.path.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0644u);
    }
    if (size == 0) {
      EXPECT_EQ(h.xxh64, "ef46db3751d8e999");
      EXPECT_EQ(h.md5, "d41d8cd98f00b204e9800998ecf8427e");
    }
    for (const Part& p : parts) ::unlink(p.path.c_str());
  }
  // A temporary already there (another run's, or a link to the card) is never written through.
  writeFile(t.path + "/a.part", "theirs");
  ASSERT_EQ(::symlink((t.path + "/src").c_str(), (t.path + "/b.part").c_str()), 0);
  const std::string before = slurp(t.path + "/src");
  for (const char* name : {"/a.part", "/b.part"}) {
    auto f = failureOf([&] { copyOnce(t.path + "/src", {{7, t.path + name}}, {}, false, false); });
    ASSERT_TRUE(f);
    EXPECT_EQ(f->err, EEXIST);
  }
  EXPECT_EQ(slurp(t.path + "/a.part"), "theirs");
  EXPECT_TRUE(slurp(t.path + "/src") == before);
  EXPECT_EQ(copyOnce(t.path + "/src", {}, {}, false, false).md5, std::nullopt);
  EXPECT_EQ(hex64(0x1f), "000000000000001f");
  EXPECT_EQ(hex64(~0ull), "ffffffffffffffff");
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
    testing::FaultPlan shortPlan;
    shortPlan.shortReads = true;
    testing::FaultFs shortFs(shortPlan);
    ::unlink((t.path + "/a.part").c_str());  // temporaries are created, never written over
    EXPECT_EQ(copyOnce(src, {{0, t.path + "/a.part"}}, {}, false, cached, {}, shortFs).xxh64, want);
    EXPECT_EQ(hashFile(t.path + "/a.part", {}, shortFs), want);
    for (int err : {0, EIO}) {
      for (long k : {2, 3}) {  // the second block, the tail
        SCOPED_TRACE(std::to_string(err) + " at read " + std::to_string(k));
        testing::FaultPlan plan;
        plan.readPath = src;
        plan.readAt = k;
        plan.readErr = err;
        // Failed, or (a direct read tried again buffered) whole: never a shorter copy.
        testing::FaultFs fs(plan);
        std::string got;
        ::unlink((t.path + "/b.part").c_str());
        auto f = failureOf([&] {
          got = copyOnce(src, {{0, t.path + "/b.part"}}, {}, false, cached, {}, fs).xxh64;
        });
        if (f) {
          EXPECT_EQ(f->dest, std::nullopt);
        } else {
          EXPECT_EQ(got, want);
        }
        EXPECT_TRUE(f || !cached) << "a buffered read that ends early is not tried again";
        plan.readPath = t.path + "/a.part";
        testing::FaultFs back(plan);
        auto h = hashFile(t.path + "/a.part", {}, back);
        EXPECT_TRUE(!h || *h == want) << *h;
      }
    }
  }
}

TEST(Copy, SourceTimesAreCarriedOverUnlessModificationTimeIsZero) {
  TempDir t;
  std::string src = t.path + "/src";
  writePattern(src, 1000, 3);
  SourceTimes times{{1600000000, 123456789}, {1500000000, 987654321}};
  copyOnce(src, {{0, t.path + "/timed"}}, times, false, false);
  struct stat st;
  ASSERT_EQ(::stat((t.path + "/timed").c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, 1600000000);
  EXPECT_EQ(st.st_atim.tv_nsec, 123456789);
  EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);

  time_t before = ::time(nullptr);
  copyOnce(src, {{0, t.path + "/untimed"}}, {{1600000000, 0}, {0, 0}}, false, false);
  ASSERT_EQ(::stat((t.path + "/untimed").c_str(), &st), 0);
  EXPECT_GE(st.st_mtim.tv_sec, before - 1) << "a zero modification time must leave the times alone";
  EXPECT_GE(st.st_atim.tv_sec, before - 1);
}

TEST(Copy, OpenAndReadFailuresNameTheRightSideAndLeakNoDescriptor) {
  TempDir t;
  std::string src = t.path + "/src";
  writePattern(src, 100000, 4);
  int fds = openFds();

  auto f = failureOf([&] {
    copyOnce(t.path + "/nope", {{7, t.path + "/x.part"}}, {}, false, false);
  });
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (IOFail{ENOENT, std::nullopt}));
  EXPECT_FALSE(exists(t.path + "/x.part"));

  // The second part's folder is missing: the first was created and is empty, the third untouched.
  std::vector<Part> parts = {
      {7, t.path + "/a.part"}, {8, t.path + "/gone/b.part"}, {9, t.path + "/c.part"}};
  f = failureOf([&] { copyOnce(src, parts, {}, true, false); });
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (IOFail{ENOENT, 8}));
  EXPECT_TRUE(exists(parts[0].path));
  EXPECT_EQ(slurp(parts[0].path), "");
  EXPECT_FALSE(exists(parts[2].path));

  // A source that opens but cannot be read is a source failure.
  f = failureOf([&] { copyOnce(t.path, {{7, t.path + "/d.part"}}, {}, false, false); });
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (IOFail{EISDIR, std::nullopt}));

  // Every failed call on a destination's side (create, write, flush) fails the copy and names it.
  testing::FaultPlan plan;
  plan.kinds = testing::kFsWrite;
  for (long k = 1;; ++k) {
    plan.failAt = k;
    testing::FaultFs fs(plan);
    ::unlink((t.path + "/e.part").c_str());
    f = failureOf([&] { copyOnce(src, {{5, t.path + "/e.part"}}, {}, false, false, {}, fs); });
    if (!fs.fired()) break;
    EXPECT_EQ(f, (IOFail{EIO, 5})) << "call " << k;
  }

  EXPECT_EQ(openFds(), fds);
}

TEST(Copy, FullDestinationFailsWithItsIndexAndEnospc) {
  LoopMount full(8);
  SKIP_UNLESS_MOUNTED(full);
  TempDir t;
  std::string src = t.path + "/src";
  writePattern(src, 20u << 20, 5);
  int fds = openFds();
  auto f = failureOf([&] {
    copyOnce(src, {{3, t.path + "/ok.part"}, {4, full.path() + "/big.part"}}, {}, false, false);
  });
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (IOFail{ENOSPC, 4}));
  EXPECT_EQ(openFds(), fds);
}

TEST(Copy, ReadOnlyDestinationFailsAtOpenWithErofs) {
  LoopMount ro(8, "ext4", "ro");
  SKIP_UNLESS_MOUNTED(ro);
  TempDir t;
  writePattern(t.path + "/src", 1000, 6);
  auto f = failureOf([&] {
    copyOnce(t.path + "/src", {{2, ro.path() + "/x.part"}}, {}, false, false);
  });
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (IOFail{EROFS, 2}));
}

// Where a file's first block lives on the device, in bytes.
std::optional<uint64_t> physicalOffset(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY));
  std::vector<uint64_t> buf((sizeof(fiemap) + sizeof(fiemap_extent)) / 8 + 1, 0);
  auto* fm = reinterpret_cast<fiemap*>(buf.data());
  fm->fm_length = ~0ull;
  fm->fm_flags = FIEMAP_FLAG_SYNC;
  fm->fm_extent_count = 1;
  if (!fd || ::ioctl(fd.get(), FS_IOC_FIEMAP, fm) != 0 || fm->fm_mapped_extents < 1)
    return std::nullopt;
  return fm->fm_extents[0].fe_physical;
}

TEST(Copy, ReadBackReadsTheMediumNotThePageCache) {
  LoopMount disk(64);
  SKIP_UNLESS_MOUNTED(disk);
  TempDir t;
  std::string src = t.path + "/src", dst = disk.path() + "/clip.mov";
  writePattern(src, 3u << 20, 7);
  Hashes h = copyOnce(src, {{0, dst}}, {}, false, false);
  std::string cached = slurp(dst);  // the file's pages are in the cache now
  ASSERT_EQ(xxh64(cached), h.xxh64);

  // Corrupt the first 4 KiB on the device itself, under the file system's page cache.
  std::optional<uint64_t> phys = physicalOffset(dst);
  ASSERT_TRUE(phys);
  AlignedBuffer junk(4096, 4096);
  std::memset(junk.data(), 0xAA, 4096);
  UniqueFd img(::open(disk.image().c_str(), O_WRONLY | O_DIRECT));
  ASSERT_TRUE(img);
  ASSERT_EQ(::pwrite(img.get(), junk.data(), 4096, static_cast<off_t>(*phys)), 4096);
  ASSERT_EQ(::fsync(img.get()), 0);

  EXPECT_EQ(xxh64(slurp(dst)), h.xxh64) << "a buffered read-back would be served from the cache";
  std::string onDisk = cached;
  std::memset(onDisk.data(), 0xAA, 4096);
  EXPECT_EQ(hashFile(dst), xxh64(onDisk));
  EXPECT_NE(hashFile(dst), h.xxh64);
  // Where the file system takes no direct I/O, the pages cached earlier are dropped first.
  testing::FaultPlan refused;
  refused.failAt = 1;
  refused.err = EINVAL;
  testing::FaultFs noDirect(refused);
  EXPECT_EQ(hashFile(dst, {}, noDirect), xxh64(onDisk));
}

TEST(Copy, HashFilesKeepsInputOrderAndMarksUnreadableSlots) {
  TempDir t;
  std::vector<std::string> paths;
  std::vector<std::string> want;
  for (int i = 0; i < 5; ++i) {
    std::string p = t.path + "/f" + std::to_string(i);
    writePattern(p, 1000u * (i + 1) + kBlockSize * (i == 2), 10 + i);
    paths.push_back(p);
    want.push_back(xxh64(slurp(p)));
  }
  paths.insert(paths.begin() + 1, t.path + "/missing");
  paths.push_back(t.path);  // a folder opens but cannot be read
  auto got = hashFiles(paths);
  ASSERT_EQ(got.size(), paths.size());
  EXPECT_EQ(got[0], want[0]);
  EXPECT_EQ(got[1], std::nullopt);
  for (int i = 1; i < 5; ++i) EXPECT_EQ(got[i + 1], want[i]);
  EXPECT_EQ(got[6], std::nullopt);
  EXPECT_TRUE(hashFiles({}).empty());
  EXPECT_EQ(hashFiles({paths[0]}), (std::vector<std::optional<std::string>>{want[0]}));
}

TEST(Copy, ReadFullRepeatsShortReadsAndReportsItsDestination) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  UniqueFd r(p[0]), w(p[1]);
  std::thread writer([&] {
    for (char c = 'a'; c < 'e'; ++c) {
      (void)!::write(w.get(), std::string(100, c).data(), 100);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    w.reset();
  });
  std::string buf(1000, '\0');
  EXPECT_EQ(readFull(r.get(), buf.data(), 1000), 400u);
  writer.join();
  EXPECT_EQ(buf.substr(0, 400), std::string(100, 'a') + std::string(100, 'b') +
                                    std::string(100, 'c') + std::string(100, 'd'));
  auto f = failureOf([&] { readFull(-1, buf.data(), 10, 5); });
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (IOFail{EBADF, 5}));
}

}  // namespace
}  // namespace tolverdine
