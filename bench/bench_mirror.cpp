// Two figures of the second copy:
//  (a) the classified view of a card of many clips on a cloning file system (a loop-mounted
//      XFS image with reflink): time per clip and the free space it costs (should be none);
//  (b) a mirror run of a project folder against its limit measured in the same run: the
//      primitives alone on the same files (copyOnce to the secondary, then a read-back).
//
//   bench_mirror [--clips N] [--total-mib N] [--rounds R] [--dir D] [--smoke]
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/base/files.h"
#include "engine/base/names.h"
#include "engine/copy/copy.h"
#include "engine/copy/mirror.h"
#include "engine/copy/preflight.h"
#include "engine/store/store.h"
#include "engine/store/view.h"
#include "os/fd.h"

#include "bench/bench_util.h"

namespace fs = std::filesystem;
using namespace tolverdine;

namespace {

using bench::now;

using bench::median;

void dropCaches() {
  ::sync();
  if (FILE* f = std::fopen("/proc/sys/vm/drop_caches", "w")) {
    std::fputs("3", f);
    std::fclose(f);
  }
}

int64_t freeBytes(const std::string& path) {
  ::sync();
  struct statvfs v {};
  ::statvfs(path.c_str(), &v);
  return static_cast<int64_t>(v.f_bavail) * static_cast<int64_t>(v.f_frsize);
}

// Files already copied and verified on root: mirror files with a view each.
std::vector<Row> placeClips(const std::string& root, Store& store, int clips, size_t size) {
  std::mt19937_64 rng(7);
  std::vector<Row> rows;
  for (int i = 0; i < clips; ++i) {
    Row r;
    r.rel = "CLIP/C" + std::to_string(10000 + i) + ".MP4";
    r.size = static_cast<int64_t>(size);
    r.mtimeNs = 1;
    r.dest = "_카드원본/A캠_001/" + r.rel;
    r.view = "01_원본/A캠/1_0900-0930/기타/" + fs::path(r.rel).filename().string();
    mkdirs(fs::path(root + "/" + *r.dest).parent_path().string());
    bench::fill(root + "/" + *r.dest, size, rng, true);
    rows.push_back(r);
  }
  store.begin();
  for (const auto& r : rows)
    store.record(ingestKey("A캠", r), root, *r.dest, r.size, "0123456789abcdef",
                 CopyState::verified, 1, std::nullopt, r.view);
  store.commit();
  return rows;
}

void benchView(const std::string& work, int clips) {
  const std::string img = work + "/xfs.img", mnt = work + "/xfs";
  mkdirs(mnt);
  std::string mk = "truncate -s 1G '" + img + "' && mkfs.xfs -q -m reflink=1 '" + img +
                   "' && mount -o loop '" + img + "' '" + mnt + "'";
  if (std::system(mk.c_str()) != 0) {
    std::printf("(a) view: skipped — no XFS loop mount here\n");
    return;
  }
  {
    Store store(work + "/view.sqlite");
    const std::string root = mnt + "/20250101_p";
    auto rows = placeClips(root, store, clips, 256 << 10);
    const int64_t before = freeBytes(mnt);
    double t0 = now();
    auto failed = makeView(rows, root, "A캠", store);
    double t = now() - t0;
    const int64_t after = freeBytes(mnt);
    std::printf(
        "(a) view of %d clips: %.3f ms a clip (target < 1 ms), failed %zu, free space used %.1f MiB of %.1f MiB of data\n",
        clips, t * 1000 / clips, failed.size(), (before - after) / 1048576.0, clips * 0.25);
  }
  std::system(("umount '" + mnt + "'").c_str());
}

struct Project {
  std::vector<Row> rows;
  std::vector<std::string> hashes;
};

Project makeProject(const std::string& root, Store& store, uint64_t total) {
  Project p;
  std::mt19937_64 rng(11);
  const size_t fileSize = std::min<uint64_t>(total, 256ull << 20);
  for (uint64_t done = 0, i = 0; done < total; ++i) {
    size_t size = std::min<uint64_t>(fileSize, total - done);
    Row r;
    r.rel = "01_원본/A캠/1_0900-0930/기타/C" + std::to_string(1000 + i) + ".MP4";
    r.size = static_cast<int64_t>(size);
    r.mtimeNs = 1;
    mkdirs(fs::path(root + "/" + r.rel).parent_path().string());
    bench::fill(root + "/" + r.rel, size, rng, true);
    auto h = hashFile(root + "/" + r.rel);
    store.record(ingestKey("A캠", r), root, r.rel, r.size, h, CopyState::verified, 1);
    p.rows.push_back(r);
    done += size;
  }
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  int clips = 2000, rounds = 3;
  uint64_t totalMiB = 2048;
  std::string dir = "/var/tmp";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--smoke") {
      clips = 50;
      totalMiB = 16;
      rounds = 1;
    } else if (a == "--clips" && i + 1 < argc) {
      clips = std::atoi(argv[++i]);
    } else if (a == "--total-mib" && i + 1 < argc) {
      totalMiB = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    }
  }
  const std::string work = dir + "/bench_mirror." + std::to_string(::getpid());
  mkdirs(work);
  benchView(work, clips);

  Store store(work + "/mirror.sqlite");
  const std::string primary = work + "/fast/20250101_p";
  Project p = makeProject(primary, store, totalMiB << 20);
  std::vector<double> limit, run;
  for (int round = 0; round < rounds; ++round) {
    const std::string bare = work + "/bare" + std::to_string(round);
    dropCaches();
    double t0 = now();
    for (const auto& r : p.rows) {
      const std::string part = bare + "/" + r.rel + ".part";
      mkdirs(fs::path(part).parent_path().string());
      copyOnce(primary + "/" + r.rel, {Part{0, part}}, SourceTimes{}, false, true);
      hashFile(part);
    }
    limit.push_back(now() - t0);
    fs::remove_all(bare);

    const std::string secondary = work + "/nas" + std::to_string(round) + "/20250101_p";
    mkdirs(fs::path(secondary).parent_path().string());
    dropCaches();
    t0 = now();
    MirrorResult m = runMirror(primary, secondary, store, availableBytes, {});
    run.push_back(now() - t0);
    if (!m.failed.empty() || m.copied != static_cast<int>(p.rows.size())) {
      std::fprintf(stderr, "mirror run failed: %zu failures, %d copied\n", m.failed.size(),
                   m.copied);
      return 1;
    }
    fs::remove_all(fs::path(secondary).parent_path());
  }
  const double l = median(limit), r = median(run);
  std::printf(
      "(b) mirror run of %llu MiB: %.2f s, limit %.2f s, speed ratio %.2f (target >= 0.9)\n",
      static_cast<unsigned long long>(totalMiB), r, l, l / r);
  fs::remove_all(work);
  return 0;
}
