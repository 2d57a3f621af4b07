// Whole cards against what a careful user does by hand, on loop-mounted images (card and each
// destination an image of its own on a loop device set to direct I/O; as root). The manual way: cp
// -r to each destination, sync, caches dropped, xxh64sum of the card, xxh64sum -c of each copy. The
// tool: plan, ingest to both destinations with read-back, card record, hash lists and reports, as
// the card job runs them. Interleaved rounds, page cache dropped before each measured step,
// medians; ratio = manual time / tool time (above 1: the tool is faster). Per-file cost: (tool time
// for the time-lapse card − tool time for one file of the same bytes) / its file count. With
// --reader, the card's loop device is throttled for reads to a card reader's speed (cgroup v1
// blkio, else v2 io.max; the whole program runs in that group), and each round also times one
// read of the card (every file read once, caches dropped): the limit of any offload that reads
// the card once. Reported: limit / tool and manual / tool, per card and reader speed.
//
//   bench_cards [--rounds R] [--dir D] [--smoke] [--only stills|timelapse|video|rawjpeg]
//               [--reader MBPS|max[,...]]...
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

#include "engine/base/beside.h"
#include "engine/base/files.h"
#include "engine/copy/ingest.h"
#include "engine/job/card_job.h"
#include "engine/media/probe.h"
#include "engine/reports/pdf_ahead.h"
#include "engine/store/card_status.h"
#include "engine/store/search_catch_up.h"
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

std::string firstLine(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[256];
    if (std::fgets(buf, sizeof buf, p)) out = buf;
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

bool writeText(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  const bool ok = std::fputs(text.c_str(), f) >= 0;
  return std::fclose(f) == 0 && ok;
}

// An ext4 image of its own on a loop device with direct I/O (the image file's page cache plays no
// part), mounted at dir; returns the device, empty (a plain folder) where that is not allowed.
std::string mountImage(const std::string& img, const std::string& dir, uint64_t mib) {
  mkdirs(dir);
  std::string q = "'" + img + "'";
  if (sh("truncate -s " + std::to_string(mib) + "M " + q + " && mkfs.ext4 -q -F " + q +
         " >/dev/null 2>&1") != 0)
    return "";
  std::string dev = firstLine("losetup --direct-io=on -f --show " + q + " 2>/dev/null");
  if (dev.empty()) return "";
  if (sh("mount '" + dev + "' '" + dir + "' 2>/dev/null") != 0) {
    sh("losetup -d '" + dev + "'");
    return "";
  }
  return dev;
}

void unmountImage(const std::string& dir, const std::string& dev) {
  sh("umount '" + dir + "' 2>/dev/null");
  if (!dev.empty()) sh("losetup -d '" + dev + "' 2>/dev/null");
}

// This program (and what it starts) in a control group of its own whose reads of one device are
// held to a rate: cgroup v1 blkio where the machine has it, else v2 io.max.
class ReadThrottle {
 public:
  bool join() {
    const std::string name = "tolverdine_bench_" + std::to_string(::getpid());
    if (::access("/sys/fs/cgroup/blkio/cgroup.procs", W_OK) == 0) {
      v1_ = true;
      root_ = "/sys/fs/cgroup/blkio";
    } else if (::access("/sys/fs/cgroup/cgroup.subtree_control", W_OK) == 0) {
      root_ = "/sys/fs/cgroup";
      (void)writeText(root_ + "/cgroup.subtree_control", "+io");
    } else {
      return false;
    }
    dir_ = root_ + "/" + name;
    if (::mkdir(dir_.c_str(), 0755) != 0 ||
        !writeText(dir_ + "/cgroup.procs", std::to_string(::getpid()))) {
      ::rmdir(dir_.c_str());
      dir_.clear();
      return false;
    }
    return true;
  }
  // bytesPerSecond 0: no limit.
  bool limit(dev_t dev, int64_t bytesPerSecond) {
    const std::string d = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    if (v1_)
      return writeText(dir_ + "/blkio.throttle.read_bps_device",
                       d + " " + std::to_string(bytesPerSecond));
    return writeText(dir_ + "/io.max",
                     d + " rbps=" + (bytesPerSecond ? std::to_string(bytesPerSecond) : "max"));
  }
  ~ReadThrottle() {
    if (dir_.empty()) return;
    (void)writeText(root_ + "/cgroup.procs", std::to_string(::getpid()));
    ::rmdir(dir_.c_str());
  }

 private:
  bool v1_ = false;
  std::string root_, dir_;
};

struct CardSpec {
  std::string name;
  int files;
  size_t minSize, maxSize;
  const char* folder;  // where the files lie on the card
  const char* prefix;
  const char* ext;
  // Set: every other file is this raw companion of the still before it, with its own sizes.
  const char* rawExt = nullptr;
  size_t rawMin = 0, rawMax = 0;
};

struct Card {
  CardSpec spec;
  std::string root;
  std::string dev;  // its loop device; empty for a plain folder
  int64_t bytes = 0;
};

void put32(std::string& s, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>((v >> shift) & 0xff);
}

std::string atom(const char* type, const std::string& body) {
  std::string a;
  put32(a, static_cast<uint32_t>(8 + body.size()));
  return a + type + body;
}

// A clip as a camera writes it: random bytes in a QuickTime "mdat", then the "moov" with the
// recording time and the duration. Random bytes alone are no container, and the media library
// would hand every clip to the external probe, which no camera's clip needs.
void fillClip(const std::string& path, size_t size, std::mt19937_64& rng) {
  std::string ftyp = atom("ftyp", std::string("qt  \0\0\x02\0qt  ", 12));
  std::string mvhd(4, '\0');  // version 0, no flags
  for (uint32_t v : {3850000000u, 3850000000u, 1000u, 60000u, 0x10000u}) put32(mvhd, v);
  mvhd += std::string("\x01\0", 2) + std::string(10, '\0');
  for (uint32_t v : {0x10000u, 0u, 0u, 0u, 0x10000u, 0u, 0u, 0u, 0x40000000u}) put32(mvhd, v);
  mvhd += std::string(24, '\0');
  put32(mvhd, 2);
  const std::string moov = atom("moov", atom("mvhd", mvhd));
  const size_t payload = size - ftyp.size() - 8 - moov.size();
  std::string head = ftyp;
  put32(head, static_cast<uint32_t>(8 + payload));
  head += "mdat";
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  auto put = [&](const void* p, size_t n) {
    if (::write(fd.get(), p, n) != static_cast<ssize_t>(n)) std::exit(1);
  };
  put(head.data(), head.size());
  bench::writeRandom(fd.get(), payload, rng);
  put(moov.data(), moov.size());
}

Card makeCard(const CardSpec& s, const std::string& base, bool loop, unsigned seed) {
  Card c{s, base + "/card_" + s.name, "", 0};
  std::mt19937_64 rng(seed);
  std::vector<size_t> sizes;
  for (int i = 0; i < s.files; ++i) {
    const bool raw = s.rawExt && i % 2 == 1;
    const size_t lo = raw ? s.rawMin : s.minSize, hi = raw ? s.rawMax : s.maxSize;
    sizes.push_back(lo + (hi > lo ? rng() % (hi - lo) : 0));
  }
  for (size_t z : sizes) c.bytes += static_cast<int64_t>(z);
  uint64_t mib =
      static_cast<uint64_t>(c.bytes >> 20) * 11 / 10 + 64 + static_cast<uint64_t>(s.files) / 64;
  if (loop) c.dev = mountImage(base + "/card_" + s.name + ".img", c.root, mib);
  const bool mounted = !c.dev.empty();
  if (loop && !mounted)
    std::fprintf(stderr, "bench_cards: no loop mount for %s, plain folder\n", s.name.c_str());
  std::string dir = c.root + "/" + s.folder;
  mkdirs(dir);
  for (int i = 0; i < s.files; ++i) {
    char name[64];
    if (s.rawExt)
      std::snprintf(name, sizeof name, "%s%05d.%s", s.prefix, i / 2 + 1, i % 2 ? s.rawExt : s.ext);
    else std::snprintf(name, sizeof name, "%s%05d.%s", s.prefix, i + 1, s.ext);
    const size_t size = sizes[static_cast<size_t>(i)];
    if (std::string(s.ext) == "MOV" && size > (size_t{1} << 20))
      fillClip(dir + "/" + name, size, rng);
    else bench::fill(dir + "/" + name, size, rng, false);
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

// Every file of the card read once, in card order, after the caches were dropped: the least any
// offload that reads the card once takes.
double oneRead(const Card& c) {
  std::vector<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(c.root))
    if (e.is_regular_file() && e.path().filename() != "lost+found") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  dropCaches();
  std::vector<char> buf(4u << 20);
  double t0 = now();
  for (const auto& f : files) {
    UniqueFd fd(::open(f.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) std::exit(1);
    (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    while (::read(fd.get(), buf.data(), buf.size()) > 0) {
    }
  }
  return now() - t0;
}

struct ToolTimes {
  double total = 0, scan = 0, copy = 0, tail = 0, outputs = 0;
  double count = 0, card = 0, lists = 0, index = 0;  // parts of tail and outputs, for the breakdown
  double cpu = 0;      // this process's user + system seconds over the run (the run alone)
  double copyCpu = 0;  // the copying thread's own seconds while the card is read
  double lastCpu = 0;  // this process's seconds after the card's last byte: what the tail must do
};

double cpuSeconds(int who = RUSAGE_SELF) {
  rusage u{};
  ::getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// copies: 2 where the destinations are two drives (loop images); folders of one disk hold one.
ToolTimes tool(const Card& c, const std::vector<std::string>& dests, const std::string& work,
               int copies) {
  wipe(dests);
  // Every round a first card: the database and its search file both start empty.
  for (const auto& db : {work + "/db.sqlite", Store::searchIndexPath(work + "/db.sqlite")})
    for (const char* end : {"", "-wal", "-shm", "-journal"}) fs::remove(db + end);
  dropCaches();
  ToolTimes t;
  bench::perfControl(true);
  const double cpu0 = cpuSeconds();
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
  std::vector<CardFile> files;
  for (const auto& row : plan.rows) files.push_back({row.rel, row.size, row.mtimeNs});
  std::future<std::string> fingerprint = beside([&files] { return cardFingerprint(files); });
  SearchCatchUp search(work + "/db.sqlite");  // as the card job does
  PdfAhead pdf(work + "/db.sqlite", plan.rows, job.cam, plan.roots.front());
  std::mutex m;
  double readAll = 0, readAllCpu = 0, lastByteCpu = 0;
  const double copyCpu0 = cpuSeconds(RUSAGE_THREAD);
  const IngestHooks hooks = drawingAhead(pdf, job, plan, std::nullopt);  // as the card job does
  IngestResult r = runIngest(
      plan.rows, job.card, job.cam, plan.roots, job.names, store, job.copies, {},
      [](const std::string&) { return int64_t{1} << 50; }, {}, nullptr, hooks,
      [&](const ByteProgress& b) {
        std::lock_guard lk(m);
        if (readAll == 0 && b.copied == b.total) {
          readAll = now();
          readAllCpu = cpuSeconds(RUSAGE_THREAD);  // the copying thread reports the last read
          lastByteCpu = cpuSeconds();
        }
      });
  double t2 = now();
  search.copied();
  if (r.color != CardColor::green) {
    std::fprintf(stderr, "bench_cards: %s was not green\n", c.spec.name.c_str());
    std::exit(1);
  }
  double c1 = now();
  store.recordCard(fingerprint.get(), job.cam, files, std::nullopt);
  double c2 = now();
  (void)writeCardOutputs(job, plan, r, store, std::nullopt, &pdf);
  double c3 = now();
  if (!search.caughtUp()) std::exit(1);
  double t3 = now();
  bench::perfControl(false);
  const double cpuEnd = cpuSeconds();
  t.cpu = cpuEnd - cpu0;
  t.lastCpu = lastByteCpu > 0 ? cpuEnd - lastByteCpu : 0;
  // The run's final count, done once more on its own to show its share of the tail: after the
  // run, so that it takes no core from the run's own threads.
  double c0 = now();
  int under = 0;
  for (const auto& row : plan.rows)
    under += store.verifiedCount(ingestKey(job.cam, row)) < job.copies;
  t.count = now() - c0;
  if (under != 0) std::exit(1);
  t.copyCpu = readAllCpu > 0 ? readAllCpu - copyCpu0 : 0;
  t.scan = t1 - t0;
  t.copy = (readAll > 0 ? readAll : t2) - t1;
  t.tail = t2 - t1 - t.copy;
  t.card = c2 - c1;
  t.lists = c3 - c2;
  t.index = t3 - c3;
  t.outputs = t3 - t2;
  t.total = t3 - t0;
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  bool smoke = false;
  std::string only;  // one card by name, with nothing else made
  std::string dir = fs::temp_directory_path().string();
  std::vector<int> readers;  // MB/s; empty: the card unthrottled
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--rounds" && i + 1 < argc) rounds = std::atoi(argv[++i]);
    else if (a == "--dir" && i + 1 < argc) dir = argv[++i];
    else if (a == "--smoke") smoke = true;
    else if (a == "--only" && i + 1 < argc) only = argv[++i];
    else if (a == "--reader" && i + 1 < argc) {
      std::string list = argv[++i];
      for (size_t at = 0; at <= list.size();) {
        size_t comma = std::min(list.find(',', at), list.size());
        // "max": the card unthrottled, what the machine's one disk allows the whole offload.
        const std::string item = list.substr(at, comma - at);
        int mbps = item == "max" ? 0 : std::atoi(item.c_str());
        if (mbps <= 0 && item != "max") return 64;
        readers.push_back(mbps);
        at = comma + 1;
      }
    } else {
      std::fprintf(stderr,
                   "usage: bench_cards [--rounds R] [--dir D] [--smoke] "
                   "[--only stills|timelapse|video|rawjpeg] [--reader MBPS|max[,...]]...\n");
      return 64;
    }
  }
  std::vector<CardSpec> specs = {
      {"stills", 1200, 300000, 1000000, "DCIM/100CANON", "IMG_", "JPG"},
      {"timelapse", 10000, 50000, 150000, "DCIM/101CANON", "TL_", "JPG"},
      {"video", 3, 400000000, 400000000, "DCIM/100CANON", "MVI_", "MOV"},
      {"rawjpeg", 120, 4000000, 8000000, "DCIM/100CANON", "IMG_", "JPG", "CR3", 18000000, 26000000},
  };
  if (smoke) {
    rounds = 1;
    specs = {
        {"stills", 20, 300000, 1000000, "DCIM/100CANON", "IMG_", "JPG"},
        {"timelapse", 100, 50000, 150000, "DCIM/101CANON", "TL_", "JPG"},
        {"video", 1, 8000000, 8000000, "DCIM/100CANON", "MVI_", "MOV"},
        {"rawjpeg", 4, 300000, 600000, "DCIM/100CANON", "IMG_", "JPG", "CR3", 17000000, 18000000}};
  }
  if (!only.empty()) {
    std::erase_if(specs, [&](const CardSpec& c) { return c.name != only; });
    if (specs.empty()) return 64;
  }
  const bool loop = !smoke && ::geteuid() == 0;
  std::string base = dir + "/bench_cards." + std::to_string(::getpid());
  std::string work = base + "/work";
  mkdirs(work);
  ReadThrottle throttle;
  if (!readers.empty() && !(loop && throttle.join())) {
    std::fprintf(stderr, "bench_cards: --reader needs root and a blkio or io control group\n");
    readers.clear();
  }
  const std::vector<int> speeds = readers.empty() ? std::vector<int>{0} : readers;

  std::vector<Card> cards;
  for (size_t i = 0; i < specs.size(); ++i)
    cards.push_back(makeCard(specs[i], base, loop, static_cast<unsigned>(i) + 1));
  // The time-lapse card's bytes in one file, for the per-file cost (not with a reader's speed).
  const size_t tlAt =
      static_cast<size_t>(std::find_if(cards.begin(), cards.end(),
                                       [](const Card& c) { return c.spec.name == "timelapse"; }) -
                          cards.begin());
  const bool perFile = tlAt < cards.size() && readers.empty();
  const size_t named = cards.size();
  if (perFile) {
    const Card& tl = cards[tlAt];
    cards.push_back(makeCard({"onefile", 1, static_cast<size_t>(tl.bytes),
                              static_cast<size_t>(tl.bytes), "DCIM/100CANON", "ONE_", "MOV"},
                             base, loop, 9));
  }
  uint64_t destMib = 0;
  for (const auto& c : cards)
    destMib = std::max<uint64_t>(destMib, static_cast<uint64_t>(c.bytes >> 20) * 13 / 10 + 256);
  std::vector<std::string> dests = {base + "/d1", base + "/d2"}, destDevs(2);
  for (size_t i = 0; i < dests.size(); ++i) {
    if (loop)
      destDevs[i] = mountImage(base + "/d" + std::to_string(i + 1) + ".img", dests[i], destMib);
    if (destDevs[i].empty()) mkdirs(dests[i]);
  }

  struct Series {
    std::vector<double> man, lim, tot, scan, copy, tail, outs, cnt, crd, lst, idx;
  };
  // [speed][card]
  std::vector<std::vector<Series>> runs(speeds.size(), std::vector<Series>(cards.size()));
  for (int r = 0; r < rounds; ++r) {  // interleaved, so drift hits all alike
    for (size_t v = 0; v < speeds.size(); ++v) {
      for (size_t i = 0; i < cards.size(); ++i) {
        Series& s = runs[v][i];
        struct stat cardDev {};
        if (speeds[v] > 0) {
          if (::stat(cards[i].dev.c_str(), &cardDev) != 0 ||
              !throttle.limit(cardDev.st_rdev, int64_t{speeds[v]} * 1000000)) {
            std::fprintf(stderr, "bench_cards: cannot throttle %s\n", cards[i].dev.c_str());
            return 1;
          }
        }
        if (i < named) {
          s.man.push_back(manual(cards[i], dests, work));
          s.lim.push_back(oneRead(cards[i]));
          std::fprintf(stderr, "round %d %s %d MB/s: manual %.2f s, one read %.2f s\n", r + 1,
                       cards[i].spec.name.c_str(), speeds[v], s.man.back(), s.lim.back());
        }
        ToolTimes t = tool(cards[i], dests, work, loop ? 2 : 1);
        if (speeds[v] > 0) (void)throttle.limit(cardDev.st_rdev, 0);
        std::fprintf(
            stderr,
            "round %d %s tool %.2f s, cpu %.2f s (%.2f s after the last byte), copying thread %.2f s (scan %.2f copy %.2f tail %.2f outputs %.2f; final count "
            "%.2f, card record %.2f, lists+reports %.2f, search index beyond them %.2f)\n",
            r + 1, cards[i].spec.name.c_str(), t.total, t.cpu, t.lastCpu, t.copyCpu, t.scan, t.copy,
            t.tail, t.outputs, t.count, t.card, t.lists, t.index);
        s.tot.push_back(t.total);
        s.scan.push_back(t.scan);
        s.copy.push_back(t.copy);
        s.tail.push_back(t.tail);
        s.outs.push_back(t.outputs);
        s.cnt.push_back(t.count);
        s.crd.push_back(t.card);
        s.lst.push_back(t.lists);
        s.idx.push_back(t.index);
      }
    }
  }
  std::printf("%s, %d rounds, medians; ratio = manual / tool, limit = one read of the card\n",
              loop ? "loop images, direct I/O" : "plain folders", rounds);
  for (size_t v = 0; v < speeds.size(); ++v) {
    if (speeds[v] > 0) std::printf("card reader %d MB/s\n", speeds[v]);
    else if (!readers.empty()) std::printf("card reader unthrottled (the machine's own limit)\n");
    for (size_t i = 0; i < cards.size(); ++i) {
      const Card& c = cards[i];
      const Series& s = runs[v][i];
      std::printf("%-10s %6d files %7.0f MB: tool %7.2f s", c.spec.name.c_str(), c.spec.files,
                  static_cast<double>(c.bytes) / 1e6, median(s.tot));
      if (i < named)
        std::printf(", manual %7.2f s, ratio %.2f, one read %7.2f s, limit/tool %.2f",
                    median(s.man), median(s.man) / median(s.tot), median(s.lim),
                    median(s.lim) / median(s.tot));
      std::printf(
          "\n           phases: scan+plan %.2f s, copy (card read) %.2f s, read-back+records tail "
          "%.2f s, card record+hash lists+reports %.2f s\n",
          median(s.scan), median(s.copy), median(s.tail), median(s.outs));
      std::printf(
          "           of which: final count %.2f s (once more after the run), card record %.2f s, hash "
          "lists+reports+PDF %.2f s, search index beyond them %.2f s\n",
          median(s.cnt), median(s.crd), median(s.lst), median(s.idx));
    }
  }
  if (perFile) {
    const auto& tl = runs[0][tlAt].tot;
    const auto& one = runs[0].back().tot;
    double cost = (median(tl) - median(one)) / cards[tlAt].spec.files * 1000;
    std::printf("per-file cost: (%.2f s - %.2f s) / %d = %.3f ms a file (target < 2)\n", median(tl),
                median(one), cards[tlAt].spec.files, cost);
  }

  for (const auto& c : cards) unmountImage(c.root, c.dev);
  for (size_t i = 0; i < dests.size(); ++i) unmountImage(dests[i], destDevs[i]);
  fs::remove_all(base);
  return 0;
}
