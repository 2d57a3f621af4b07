// Measures a whole-card ingest (standard verify, two destinations) against its limit measured in
// the same run: the copy and read-back primitives alone on the same files (copyOnce to both
// destinations, then hashFiles), without checks, database rows, renames or locks. A second card
// of many small files gives the per-file overhead of the ingest.
//
//   bench_ingest [--total-mib N] [--small N] [--rounds R] [--dir D] [--smoke]
#include <fcntl.h>
#include <sys/stat.h>
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
#include "engine/copy/ingest.h"
#include "engine/store/store.h"
#include "os/fd.h"

#include "bench/bench_util.h"

namespace fs = std::filesystem;
using namespace tolverdine;

namespace {

using bench::now;

using bench::median;

// The card's files leave the page cache, so every measured step reads the medium.
void dropCaches() {
  ::sync();
  if (FILE* f = std::fopen("/proc/sys/vm/drop_caches", "w")) {
    std::fputs("3", f);
    std::fclose(f);
  }
}

std::vector<Row> makeCard(const std::string& card, uint64_t totalBytes, int small, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::vector<Row> rows;
  auto add = [&](const std::string& rel, size_t size, Kind kind) {
    std::string p = card + "/" + rel;
    mkdirs(fs::path(p).parent_path().string());
    bench::fill(p, size, rng, true);
    Row r;
    r.src = p;
    r.rel = rel;
    r.kind = kind;
    r.cls = "기타";
    r.size = static_cast<int64_t>(size);
    struct stat st {};
    ::stat(p.c_str(), &st);  // the card file's time as the scan takes it: a run checks it
    r.mtimeNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    rows.push_back(r);
  };
  // Mixed clips from 1 MiB up to a quarter of the total.
  uint64_t left = totalBytes;
  int n = 0;
  while (left > 0) {
    uint64_t cap = std::max<uint64_t>(totalBytes / 4, 1 << 20);
    uint64_t size = std::min<uint64_t>(left, (1 << 20) + rng() % cap);
    char rel[64];
    std::snprintf(rel, sizeof rel, "PRIVATE/M4ROOT/CLIP/C%04d.MP4", ++n);
    add(rel, size, Kind::video);
    left -= size;
  }
  for (int i = 0; i < small; ++i) {
    char rel[64];
    std::snprintf(rel, sizeof rel, "PRIVATE/M4ROOT/SUB/S%05d.XML", i);
    add(rel, 2048 + rng() % 4096, Kind::etc);
  }
  destPaths(rows, "A캠", NameSet::ko());
  return rows;
}

double timeIngest(const std::vector<Row>& rows, const std::string& card, const std::string& work) {
  fs::remove_all(work);
  mkdirs(work + "/d1");
  mkdirs(work + "/d2");
  Store store(work + "/db.sqlite");
  dropCaches();
  double t0 = now();
  // Both folders are on this machine's one disk: the same work as two drives, counted as one copy.
  IngestResult r = runIngest(rows, card, "A캠", {work + "/d1/p", work + "/d2/p"}, NameSet::ko(),
                             store, 1, {}, [](const std::string&) { return int64_t{1} << 50; }, {});
  double t = now() - t0;
  if (r.color != CardColor::green) {
    std::fprintf(stderr, "bench_ingest: the run was not green\n");
    std::exit(1);
  }
  return t;
}

double timePrimitives(const std::vector<Row>& rows, const std::string& work) {
  fs::remove_all(work);
  mkdirs(work + "/d1");
  mkdirs(work + "/d2");
  dropCaches();
  double t0 = now();
  for (size_t i = 0; i < rows.size(); ++i) {
    std::string a = work + "/d1/" + std::to_string(i), b = work + "/d2/" + std::to_string(i);
    copyOnce(rows[i].src, {{0, a}, {1, b}}, {}, false, true);
    hashFiles({a, b});
  }
  return now() - t0;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t totalMib = 2048;
  int small = 5000, rounds = 3;
  std::string dir = fs::temp_directory_path().string();
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
    if (a == "--total-mib") totalMib = std::strtoull(next().c_str(), nullptr, 10);
    else if (a == "--small") small = std::atoi(next().c_str());
    else if (a == "--rounds") rounds = std::atoi(next().c_str());
    else if (a == "--dir") dir = next();
    else if (a == "--smoke") totalMib = 8, small = 50, rounds = 1;
    else {
      std::fprintf(
          stderr,
          "usage: bench_ingest [--total-mib N] [--small N] [--rounds R] [--dir D] [--smoke]\n");
      return 64;
    }
  }
  std::string base = dir + "/bench_ingest." + std::to_string(::getpid());
  std::string bigCard = base + "/card", smallCard = base + "/small";
  std::vector<Row> big = makeCard(bigCard, totalMib << 20, small / 10, 1);
  std::vector<Row> tiny = makeCard(smallCard, 0, small, 2);
  int64_t bytes = 0;
  for (const auto& r : big) bytes += r.size;

  std::vector<double> ingest, limit, tinyIngest, tinyLimit;
  for (int r = 0; r < rounds; ++r) {  // interleaved, so drift hits both alike
    ingest.push_back(timeIngest(big, bigCard, base + "/w"));
    limit.push_back(timePrimitives(big, base + "/w"));
    tinyIngest.push_back(timeIngest(tiny, smallCard, base + "/w"));
    tinyLimit.push_back(timePrimitives(tiny, base + "/w"));
  }
  fs::remove_all(base);

  double mb = static_cast<double>(bytes) / 1e6;
  double a = median(ingest), l = median(limit);
  std::printf("card: %zu files, %.0f MB; small card: %zu files; %d rounds, medians\n", big.size(),
              mb, tiny.size(), rounds);
  std::printf("ingest      %8.1f MB/s (%.2f s)\n", mb / a, a);
  std::printf("limit       %8.1f MB/s (%.2f s)\n", mb / l, l);
  std::printf("ratio ingest/limit speed: %.2f (target >= 0.90)\n", l / a);
  double perFile =
      (median(tinyIngest) - median(tinyLimit)) / static_cast<double>(tiny.size()) * 1000;
  std::printf(
      "small files: ingest %.2f ms/file, primitives %.2f ms/file, overhead %.3f ms/file (target < 2)\n",
      median(tinyIngest) / static_cast<double>(tiny.size()) * 1000,
      median(tinyLimit) / static_cast<double>(tiny.size()) * 1000, perFile);
  return 0;
}
