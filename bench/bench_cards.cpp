// Whole cards against what a careful user does by hand, on loop-mounted images (card and each
// destination an image of its own; as root). The manual way: cp -r to each destination, sync,
// caches dropped, xxh64sum of the card, xxh64sum -c of each copy. The tool: plan, ingest to both
// destinations with read-back, card record, hash lists and reports, as the card job runs them.
// Interleaved rounds, page cache dropped before each measured step, medians; ratio = manual time
// / tool time (above 1: the tool is faster). Per-file cost: (tool time for the time-lapse card −
// tool time for one file of the same bytes) / its file count.
//
//   bench_cards [--rounds R] [--dir D] [--smoke] [--only stills|timelapse|video]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "engine/base/files.h"
#include "engine/copy/ingest.h"
#include "engine/job/card_job.h"
#include "engine/media/probe.h"
#include "engine/store/card_status.h"
#include "engine/store/store.h"
#include "os/fd.h"

#include "bench/bench_util.h"

namespace fs = std::filesystem;
using namespace tolverdine;

namespace {

using bench::now;

using bench::median;

int sh(const std::string& cmd) {
  int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

void dropCaches() {
  ::sync();
  if (FILE* f = std::fopen("/proc/sys/vm/drop_caches", "w")) {
    std::fputs("3", f);
    std::fclose(f);
  }
}

// An ext4 image of its own mounted at dir; a plain folder where loop mounts are not allowed.
bool mountImage(const std::string& img, const std::string& dir, uint64_t mib) {
  mkdirs(dir);
  std::string q = "'" + img + "'";
  return sh("truncate -s " + std::to_string(mib) + "M " + q + " && mkfs.ext4 -q -F " + q +
            " >/dev/null 2>&1 && mount -o loop " + q + " '" + dir + "' 2>/dev/null") == 0;
}

struct CardSpec {
  std::string name;
  int files;
  size_t minSize, maxSize;
  const char* folder;  // where the files lie on the card
  const char* prefix;
  const char* ext;
};

struct Card {
  CardSpec spec;
  std::string root;
  int64_t bytes = 0;
};

Card makeCard(const CardSpec& s, const std::string& base, bool loop, unsigned seed) {
  Card c{s, base + "/card_" + s.name};
  std::mt19937_64 rng(seed);
  std::vector<size_t> sizes;
  for (int i = 0; i < s.files; ++i)
    sizes.push_back(s.minSize + (s.maxSize > s.minSize ? rng() % (s.maxSize - s.minSize) : 0));
  for (size_t z : sizes) c.bytes += static_cast<int64_t>(z);
  uint64_t mib =
      static_cast<uint64_t>(c.bytes >> 20) * 11 / 10 + 64 + static_cast<uint64_t>(s.files) / 64;
  bool mounted = loop && mountImage(base + "/card_" + s.name + ".img", c.root, mib);
  if (loop && !mounted)
    std::fprintf(stderr, "bench_cards: no loop mount for %s, plain folder\n", s.name.c_str());
  std::string dir = c.root + "/" + s.folder;
  mkdirs(dir);
  for (int i = 0; i < s.files; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%05d.%s", s.prefix, i + 1, s.ext);
    bench::fill(dir + "/" + name, sizes[static_cast<size_t>(i)], rng, false);
  }
  ::sync();
  return c;
}

void wipe(const std::vector<std::string>& dests) {
  for (const auto& d : dests)
    for (const auto& e : fs::directory_iterator(d))
      if (e.path().filename() != "lost+found") fs::remove_all(e.path());
  ::sync();
}

double manual(const Card& c, const std::vector<std::string>& dests, const std::string& work) {
  wipe(dests);
  dropCaches();
  double t0 = now();
  for (const auto& d : dests)
    if (sh("cp -r '" + c.root + "/" + c.spec.folder + "' '" + d + "/manual'") != 0) std::exit(1);
  ::sync();
  dropCaches();
  const std::string list = work + "/list.xxh64";
  if (sh("cd '" + c.root + "/" + c.spec.folder +
         "' && find . -type f -print0 | xargs -0 xxh64sum > '" + list + "' 2>/dev/null") != 0)
    std::exit(1);
  for (const auto& d : dests)
    if (sh("cd '" + d + "/manual' && xxh64sum --quiet -c '" + list + "' >/dev/null 2>&1") != 0)
      std::exit(1);
  return now() - t0;
}

struct ToolTimes {
  double total = 0, scan = 0, copy = 0, tail = 0, outputs = 0;
  double count = 0, card = 0, lists = 0, index = 0;  // parts of tail and outputs, for the breakdown
};

// copies: 2 where the destinations are two drives (loop images); folders of one disk hold one.
ToolTimes tool(const Card& c, const std::vector<std::string>& dests, const std::string& work,
               int copies) {
  wipe(dests);
  // Every round a first card: the database and its search file both start empty.
  for (const auto& db : {work + "/db.sqlite", Store::searchIndexPath(work + "/db.sqlite")})
    for (const char* end : {"", "-wal", "-shm", "-journal"}) fs::remove(db + end);
  dropCaches();
  ToolTimes t;
  double t0 = now();
  CardJob job;
  job.card = c.root;
  job.cam = "A캠";
  job.project = "bench";
  job.destinations = dests;
  job.copies = copies;
  CardPlan plan = planCard(job, [](const std::string& p) { return probe(p); });
  double t1 = now();
  Store store(work + "/db.sqlite");
  std::mutex m;
  double readAll = 0;
  IngestResult r = runIngest(
      plan.rows, job.card, job.cam, plan.roots, job.names, store, job.copies, {},
      [](const std::string&) { return int64_t{1} << 50; }, {}, nullptr, {},
      [&](const ByteProgress& b) {
        std::lock_guard lk(m);
        if (readAll == 0 && b.copied == b.total) readAll = now();
      });
  double t2 = now();
  if (r.color != CardColor::green) {
    std::fprintf(stderr, "bench_cards: %s was not green\n", c.spec.name.c_str());
    std::exit(1);
  }
  // The run's final count, done once more on its own to show its share of the tail.
  double c0 = now();
  int under = 0;
  for (const auto& row : plan.rows)
    under += store.verifiedCount(ingestKey(job.cam, row)) < job.copies;
  double c1 = now();
  if (under != 0) std::exit(1);
  std::vector<CardFile> files;
  for (const auto& row : plan.rows) files.push_back({row.rel, row.size, row.mtimeNs});
  store.recordCard(cardFingerprint(files), job.cam, files, std::nullopt);
  double c2 = now();
  (void)writeCardOutputs(job, plan, r, store, std::nullopt);
  double c3 = now();
  store.updateSearchIndex();
  double t3 = now();
  t.scan = t1 - t0;
  t.copy = (readAll > 0 ? readAll : t2) - t1;
  t.tail = t2 - t1 - t.copy;
  t.count = c1 - c0;
  t.card = c2 - c1;
  t.lists = c3 - c2;
  t.index = t3 - c3;
  t.outputs = t3 - t2 - t.count;
  t.total = t3 - t0 - t.count;
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  bool smoke = false;
  std::string only;  // one card by name, with nothing else made
  std::string dir = fs::temp_directory_path().string();
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--rounds" && i + 1 < argc) rounds = std::atoi(argv[++i]);
    else if (a == "--dir" && i + 1 < argc) dir = argv[++i];
    else if (a == "--smoke") smoke = true;
    else if (a == "--only" && i + 1 < argc) only = argv[++i];
    else {
      std::fprintf(
          stderr,
          "usage: bench_cards [--rounds R] [--dir D] [--smoke] [--only stills|timelapse|video]\n");
      return 64;
    }
  }
  std::vector<CardSpec> specs = {
      {"stills", 1200, 300000, 1000000, "DCIM/100CANON", "IMG_", "JPG"},
      {"timelapse", 10000, 50000, 150000, "DCIM/101CANON", "TL_", "JPG"},
      {"video", 3, 400000000, 400000000, "DCIM/100CANON", "MVI_", "MOV"},
  };
  if (smoke) {
    rounds = 1;
    specs = {{"stills", 20, 300000, 1000000, "DCIM/100CANON", "IMG_", "JPG"},
             {"timelapse", 100, 50000, 150000, "DCIM/101CANON", "TL_", "JPG"},
             {"video", 1, 8000000, 8000000, "DCIM/100CANON", "MVI_", "MOV"}};
  }
  if (!only.empty()) {
    std::erase_if(specs, [&](const CardSpec& c) { return c.name != only; });
    if (specs.empty()) return 64;
  }
  const bool loop = !smoke && ::geteuid() == 0;
  std::string base = dir + "/bench_cards." + std::to_string(::getpid());
  std::string work = base + "/work";
  mkdirs(work);

  std::vector<Card> cards;
  for (size_t i = 0; i < specs.size(); ++i)
    cards.push_back(makeCard(specs[i], base, loop, static_cast<unsigned>(i) + 1));
  // The time-lapse card's bytes in one file, for the per-file cost.
  const bool all = only.empty();
  const size_t named = cards.size();
  const Card& tl = cards[all ? 1 : 0];
  if (all)
    cards.push_back(makeCard({"onefile", 1, static_cast<size_t>(tl.bytes),
                              static_cast<size_t>(tl.bytes), "DCIM/100CANON", "ONE_", "MOV"},
                             base, loop, 9));
  uint64_t destMib = 0;
  for (const auto& c : cards)
    destMib = std::max<uint64_t>(destMib, static_cast<uint64_t>(c.bytes >> 20) * 13 / 10 + 256);
  std::vector<std::string> dests = {base + "/d1", base + "/d2"};
  for (size_t i = 0; i < dests.size(); ++i) {
    if (!(loop && mountImage(base + "/d" + std::to_string(i + 1) + ".img", dests[i], destMib)))
      mkdirs(dests[i]);
  }

  std::vector<std::vector<double>> man(cards.size()), tot(cards.size()), scan(cards.size()),
      copy(cards.size()), tail(cards.size()), outs(cards.size()), cnt(cards.size()),
      crd(cards.size()), lst(cards.size()), idx(cards.size());
  for (int r = 0; r < rounds; ++r) {  // interleaved, so drift hits both alike
    for (size_t i = 0; i < cards.size(); ++i) {
      if (i < named) {
        man[i].push_back(manual(cards[i], dests, work));
        std::fprintf(stderr, "round %d %s manual %.2f s\n", r + 1, cards[i].spec.name.c_str(),
                     man[i].back());
      }
      ToolTimes t = tool(cards[i], dests, work, loop ? 2 : 1);
      std::fprintf(
          stderr,
          "round %d %s tool %.2f s (scan %.2f copy %.2f tail %.2f outputs %.2f; final count %.2f, "
          "card record %.2f, lists+reports %.2f, search index %.2f)\n",
          r + 1, cards[i].spec.name.c_str(), t.total, t.scan, t.copy, t.tail, t.outputs, t.count,
          t.card, t.lists, t.index);
      tot[i].push_back(t.total);
      scan[i].push_back(t.scan);
      copy[i].push_back(t.copy);
      tail[i].push_back(t.tail);
      outs[i].push_back(t.outputs);
      cnt[i].push_back(t.count);
      crd[i].push_back(t.card);
      lst[i].push_back(t.lists);
      idx[i].push_back(t.index);
    }
  }
  std::printf("%s, %d rounds, medians; ratio = manual / tool\n",
              loop ? "loop images" : "plain folders", rounds);
  for (size_t i = 0; i < cards.size(); ++i) {
    const Card& c = cards[i];
    std::printf("%-10s %6d files %7.0f MB: tool %7.2f s", c.spec.name.c_str(), c.spec.files,
                static_cast<double>(c.bytes) / 1e6, median(tot[i]));
    if (i < named)
      std::printf(", manual %7.2f s, ratio %.2f", median(man[i]), median(man[i]) / median(tot[i]));
    std::printf(
        "\n           phases: scan+plan %.2f s, copy (card read) %.2f s, read-back+records tail %.2f s, "
        "card record+hash lists+reports %.2f s\n",
        median(scan[i]), median(copy[i]), median(tail[i]), median(outs[i]));
    std::printf(
        "           of which: final count %.2f s (in the tail), card record %.2f s, hash lists+reports+PDF "
        "%.2f s, search index %.2f s\n",
        median(cnt[i]), median(crd[i]), median(lst[i]), median(idx[i]));
  }
  if (all) {
    double perFile = (median(tot[1]) - median(tot[3])) / tl.spec.files * 1000;
    std::printf("per-file cost: (%.2f s - %.2f s) / %d = %.3f ms a file (target < 2)\n",
                median(tot[1]), median(tot[3]), tl.spec.files, perFile);
  }

  for (const auto& c : cards) sh("umount '" + c.root + "' 2>/dev/null");
  for (const auto& d : dests) sh("umount '" + d + "' 2>/dev/null");
  fs::remove_all(base);
  return 0;
}
