// Library search over a large copy table and a still frame of a 4K clip, against their budgets.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include <cstdlib>
#include <filesystem>
#include "engine/library/library.h"
#include "engine/media/thumbnail.h"
#include "engine/store/store.h"

using namespace tolverdine;
using Clock = std::chrono::steady_clock;

static double ms(Clock::time_point a) {
  return std::chrono::duration<double, std::milli>(Clock::now() - a).count();
}

int main(int argc, char** argv) {
  const bool smoke = argc > 1 && std::strcmp(argv[1], "--smoke") == 0;
  const bool thumbOnly = argc > 1 && std::strcmp(argv[1], "--thumbnail") == 0;
  const int rows = smoke ? 2000 : thumbOnly ? 0 : 1000000;
  char tmpl[] = "/tmp/bench_search.XXXXXX";
  if (!::mkdtemp(tmpl)) return 2;
  struct Gone {
    std::string p;
    ~Gone() { std::filesystem::remove_all(p); }
  } dir{tmpl};
  Store store(dir.p + "/db.sqlite");
  auto t0 = Clock::now();
  store.begin();
  for (int i = 0; i < rows; ++i) {
    char rel[96], key[128];
    std::snprintf(rel, sizeof rel, "01_원본/%c캠/S%03d/기타/C%07d.MP4", 'A' + i % 4, i % 500, i);
    std::snprintf(key, sizeof key, "%c캠|PRIVATE/M4ROOT/CLIP/C%07d.MP4|%d|%d", 'A' + i % 4, i,
                  1000 + i, i);
    store.record(key, "/mnt/SSD" + std::to_string(i % 2), rel, 1000 + i, "0123456789abcdef",
                 CopyState::verified, 1);
  }
  store.commit();
  std::printf("build %d rows: %.0f ms\n", rows, ms(t0));
  // The search file is made beside the database (as after an upgrade), then a card's worth of
  // rows arrives that it has not seen yet: the searches take them in on their way.
  t0 = Clock::now();
  if (!thumbOnly) store.updateSearchIndex();
  std::printf("search index of %d rows: %.0f ms\n", rows, ms(t0));
  int fails = 0;
  auto timed = [&](const char* q) {
    auto t = Clock::now();
    auto hits = librarySearch(store, q);
    double d = ms(t);
    std::printf("search %-12s %4zu hits %8.1f ms%s\n", q, hits.size(), d,
                d > 100 && !smoke ? "  OVER 100 ms" : "");
    if (d > 100 && !smoke) ++fails;
  };
  for (const char* q : {"A캠", "C0000012", "S123", "zzz-nothing"}) {
    if (thumbOnly) break;
    timed(q);
  }
  if (!thumbOnly) {
    for (int i = rows; i < rows + 500; ++i) {
      char rel[96], key[128];
      std::snprintf(rel, sizeof rel, "01_원본/E캠/S%03d/기타/C%07d.MP4", i % 500, i);
      std::snprintf(key, sizeof key, "E캠|PRIVATE/M4ROOT/CLIP/C%07d.MP4|%d|%d", i, 1000 + i, i);
      store.record(key, "/mnt/SSD0", rel, 1000 + i, "0123456789abcdef", CopyState::verified, 1);
    }
    std::printf("after 500 new rows:\n");
    for (const char* q : {"C0000012", "E캠|PRIVATE", "zzz-nothing"}) timed(q);
  }
  const std::string clip = dir.p + "/4k.mp4";
  std::string size = smoke ? "320x180" : "3840x2160";
  if (std::system(("/usr/bin/ffmpeg -v error -f lavfi -i testsrc2=size=" + size +
                   ":rate=25:duration=2 -c:v libx264 -g 25 -pix_fmt yuv420p " + clip)
                      .c_str()) == 0) {
    // Median of five: the first also pays for opening the codec libraries.
    std::vector<double> times;
    std::optional<std::vector<uint8_t>> img;
    for (int i = 0; i < (smoke ? 1 : 5); ++i) {
      auto t = Clock::now();
      img = makeThumbnail(clip);
      times.push_back(ms(t));
    }
    const double first = times.front();
    std::sort(times.begin(), times.end());
    double d = times[times.size() / 2];
    std::printf("thumbnail first call %.1f ms\n", first);
    std::printf("thumbnail %s: %s %.1f ms%s\n", size.c_str(), img ? "ok" : "NONE", d,
                d > 300 && !smoke ? "  OVER 300 ms" : "");
    if (!img || (d > 300 && !smoke)) ++fails;
  } else {
    std::printf("thumbnail: ffmpeg with libx264 not available, skipped\n");
  }
  return fails ? 1 : 0;
}
