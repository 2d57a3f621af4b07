// Measures copyOnce + read-back against the naive way (cp, then xxhsum of everything) and against
// the floor (the same bytes moved by plain streams, phase by phase) on a generated sample card.
//
//   bench_copy [--total-mib N] [--dir D] [--loop] [--rounds R] [--smoke]
//
// --loop puts the card and both destinations on ext4 loop images of their own (needs root).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/records.h"
#include "engine/copy/copy.h"
#include "engine/copy/medium_read.h"

namespace fs = std::filesystem;
using namespace tolverdine;

namespace {

struct Options {
  uint64_t totalMib = 2048;
  std::string dir;
  bool loop = false;
  int rounds = 3;
  bool smoke = false;
};

struct CardEntry {
  std::string name;
  uint64_t size;
};

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int run(const std::string& cmd) {
  int rc = std::system(cmd.c_str());
  return rc == 0 ? 0 : 1;
}

[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "bench_copy: %s\n", why.c_str());
  std::exit(1);
}

// Flushes and empties the page cache; where that is refused, drops every file's pages instead.
void dropCaches(const std::vector<std::string>& trees) {
  ::sync();
  {
    std::ofstream dc("/proc/sys/vm/drop_caches");
    if (dc && (dc << "3\n") && dc.flush()) return;
  }
  for (const auto& t : trees) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(t, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_regular_file()) continue;
      UniqueFd fd(::open(it->path().c_str(), O_RDONLY));
      if (fd) dropCached(fd.get());
    }
  }
}

void clearDir(const std::string& d) {
  std::error_code ec;
  for (auto& e : fs::directory_iterator(d, ec)) fs::remove_all(e.path(), ec);
}

// Sizes between 1 KiB and maxFile, spread evenly on a log scale, the first one the largest.
std::vector<CardEntry> makeCard(const std::string& dir, uint64_t total, uint64_t maxFile) {
  std::mt19937_64 rng(42);
  std::vector<CardEntry> card;
  uint64_t left = total;
  std::uniform_real_distribution<double> logSize(std::log(1024.0), std::log(double(maxFile)));
  while (left > 0) {
    uint64_t s = card.empty() ? maxFile : uint64_t(std::exp(logSize(rng)));
    s = std::min(s, left);
    if (left - s < 1024) s = left;
    char name[32];
    std::snprintf(name, sizeof name, "C%04zu.MP4", card.size());
    card.push_back({name, s});
    left -= s;
  }
  std::vector<uint64_t> buf(kBlockSize / 8);
  for (const auto& f : card) {
    UniqueFd fd(::open((dir + "/" + f.name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!fd) die("cannot create " + f.name);
    for (uint64_t left2 = f.size; left2 > 0;) {
      for (auto& w : buf) w = rng();
      size_t n = size_t(std::min<uint64_t>(left2, kBlockSize));
      if (::write(fd.get(), buf.data(), n) != ssize_t(n)) die("card write failed");
      left2 -= n;
    }
    ::fsync(fd.get());
  }
  return card;
}

struct OursTimes {
  double copy = 0, back = 0;
  double sum() const { return copy + back; }
};

// (a): one read of the card for both destinations, then the read-back of both in parallel.
OursTimes ours(const std::vector<CardEntry>& card, const std::string& src, const std::string& d1,
               const std::string& d2) {
  OursTimes t;
  for (const auto& f : card) {
    double t0 = now();
    std::string s = src + "/" + f.name;
    struct stat st;
    ::stat(s.c_str(), &st);
    std::vector<Part> parts = {{0, d1 + "/" + f.name}, {1, d2 + "/" + f.name}};
    Hashes h = copyOnce(s, parts, {st.st_atim, st.st_mtim}, false, false);
    double t1 = now();
    auto back = hashFiles({parts[0].path, parts[1].path});
    t.copy += t1 - t0;
    t.back += now() - t1;
    if (back[0] != h.xxh64 || back[1] != h.xxh64) die("read-back mismatch on " + f.name);
  }
  return t;
}

// (b): cp to each destination, then xxhsum of the card and of each copy, compared.
double naive(const std::string& src, const std::string& d1, const std::string& d2,
             const std::string& work, const std::vector<std::string>& trees) {
  double t0 = now();
  if (run("cp -r '" + src + "' '" + d1 + "/n' && cp -r '" + src + "' '" + d2 + "/n'") != 0)
    die("cp failed");
  dropCaches(trees);  // sync the copies and make xxhsum read the disks, as a verification must
  const std::string sums[] = {src, d1 + "/n", d2 + "/n"};
  for (int i = 0; i < 3; ++i)
    if (run("cd '" + sums[i] + "' && xxhsum -H1 *.MP4 > '" + work + "/sum" + std::to_string(i) +
            "'") != 0)
      die("xxhsum failed");
  double t = now() - t0;
  std::string a, b;
  for (int i = 0; i < 3; ++i) {
    std::ifstream in(work + "/sum" + std::to_string(i));
    std::string body((std::istreambuf_iterator<char>(in)), {});
    (i == 0 ? a : b) = body;
    if (i > 0 && a != b) die("xxhsum of a copy differs from the card's");
  }
  return t;
}

struct Phases {
  double read = 0, write1 = 0, write2 = 0, back1 = 0, back2 = 0;
  double sum() const { return read + write1 + write2 + back1 + back2; }
  // The same work with the card read overlapping both writes and both read-backs side by side.
  double overlapped() const { return std::max({read, write1, write2}) + std::max(back1, back2); }
  // cp reads the card and writes each copy (the second cp reads from the cache), then the card
  // and every copy are read again.
  double naivePredicted() const { return 2 * read + write1 + write2 + back1 + back2; }
};

void writeFlush(const std::string& path, const char* data, uint64_t n) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
  if (!fd) die("cannot create " + path);
  for (uint64_t off = 0; off < n;) {
    size_t k = size_t(std::min<uint64_t>(n - off, kBlockSize));
    ssize_t w = ::write(fd.get(), data + off, k);
    if (w <= 0) die("write failed: " + path);
    off += uint64_t(w);
  }
  if (::fsync(fd.get()) != 0) die("fsync failed: " + path);
  dropCached(fd.get());
}

uint64_t readAll(const std::string& path, char* buf, uint64_t cap) {
  MediumReader r;
  if (r.open(path, false) != 0) die("cannot open " + path);
  uint64_t got = 0;
  for (;;) {
    size_t n = r.fill(buf + got, size_t(std::min<uint64_t>(cap - got, kBlockSize)), std::nullopt);
    got += n;
    if (n < kBlockSize || got == cap) return got;
  }
}

// (c): plain streams with the same cache bypass, one phase at a time.
Phases floorRun(const std::vector<CardEntry>& card, const std::string& src, const std::string& d1,
                const std::string& d2) {
  Phases p;
  uint64_t biggest = 0;
  for (const auto& f : card) biggest = std::max(biggest, f.size);
  uint64_t cap = (biggest + kBlockSize) / kBlockSize * kBlockSize;
  AlignedBuffer buf(cap, kBufferAlign);
  if (!buf.data()) die("out of memory");
  for (const auto& f : card) {
    double t0 = now();
    uint64_t n = readAll(src + "/" + f.name, buf.data(), cap);
    double t1 = now();
    writeFlush(d1 + "/" + f.name, buf.data(), n);
    double t2 = now();
    writeFlush(d2 + "/" + f.name, buf.data(), n);
    double t3 = now();
    p.read += t1 - t0;
    p.write1 += t2 - t1;
    p.write2 += t3 - t2;
  }
  for (const auto& f : card) {
    double t0 = now();
    readAll(d1 + "/" + f.name, buf.data(), cap);
    double t1 = now();
    readAll(d2 + "/" + f.name, buf.data(), cap);
    p.back1 += t1 - t0;
    p.back2 += now() - t1;
  }
  return p;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Three ext4 images mounted on folders of their own, undone at scope end. The loop devices do
// direct I/O on their image files, or a read-back would be answered from the image's cached pages.
struct Loops {
  std::vector<std::pair<std::string, std::string>> mounts;  // folder, loop device
  ~Loops() {
    for (const auto& [mnt, dev] : mounts)
      run("(umount '" + mnt + "' 2>/dev/null || umount -l '" + mnt + "') && losetup -d '" + dev +
          "'");
  }
  void add(const std::string& img, const std::string& mnt, uint64_t mib) {
    fs::create_directories(mnt);
    if (run("truncate -s " + std::to_string(mib) + "M '" + img + "' && mkfs.ext4 -q -F '" + img +
            "' >/dev/null 2>&1") != 0)
      die("mkfs.ext4 failed for " + img);
    std::string devFile = img + ".dev";
    if (run("losetup --find --show --direct-io=on '" + img + "' > '" + devFile + "'") != 0)
      die("losetup refused " + img);
    std::ifstream in(devFile);
    std::string dev;
    std::getline(in, dev);
    if (run("mount '" + dev + "' '" + mnt + "'") != 0) {
      run("losetup -d '" + dev + "'");
      die("mount refused for " + img);
    }
    mounts.emplace_back(mnt, dev);
  }
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die("missing value for " + a);
      return argv[++i];
    };
    if (a == "--total-mib") o.totalMib = std::stoull(value());
    else if (a == "--dir") o.dir = value();
    else if (a == "--loop") o.loop = true;
    else if (a == "--rounds") o.rounds = std::max(3, std::stoi(value()));
    else if (a == "--smoke") o.smoke = true;
    else die("usage: bench_copy [--total-mib N] [--dir D] [--loop] [--rounds R] [--smoke]");
  }
  if (o.smoke) o.totalMib = std::min<uint64_t>(o.totalMib, 24);
  if (o.totalMib < 1) die("--total-mib must be at least 1");
  if (o.dir.empty()) {
    const char* t = std::getenv("TMPDIR");
    o.dir = t && *t ? t : "/var/tmp";
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  uint64_t total = o.totalMib << 20;
  uint64_t maxFile = std::min<uint64_t>(1ull << 30, std::max<uint64_t>(total / 2, 1024));

  std::string tmpl = o.dir + "/bench_copy-XXXXXX";
  std::vector<char> tb(tmpl.begin(), tmpl.end());
  tb.push_back('\0');
  if (!::mkdtemp(tb.data())) die("cannot create a folder under " + o.dir);
  const std::string root = tb.data();
  struct Remove {
    std::string p;
    ~Remove() {
      std::error_code ec;
      fs::remove_all(p, ec);
    }
  } removeRoot{root};

  const std::string src = root + "/card", d1 = root + "/dest1", d2 = root + "/dest2";
  Loops loops;
  if (o.loop) {
    uint64_t mib = o.totalMib * 13 / 10 + 128;
    loops.add(root + "/card.img", src, mib);
    loops.add(root + "/dest1.img", d1, mib);
    loops.add(root + "/dest2.img", d2, mib);
  } else {
    fs::create_directories(src);
    fs::create_directories(d1);
    fs::create_directories(d2);
  }
  const bool haveXxhsum = run("command -v xxhsum >/dev/null 2>&1") == 0;

  std::vector<CardEntry> card = makeCard(src, total, maxFile);
  std::printf(
      "bench_copy: %llu MiB in %zu files (1 KiB .. %llu MiB), %d rounds, %s under %s, %u cpus\n",
      (unsigned long long)o.totalMib, card.size(), (unsigned long long)(maxFile >> 20), o.rounds,
      o.loop ? "ext4 loop images" : "plain folders", o.dir.c_str(),
      std::thread::hardware_concurrency());
  const std::vector<std::string> trees = {src, d1, d2};

  std::vector<double> ta, tac, tab, tb2, tc, tr, tw1, tw2, trb1, trb2;
  for (int r = 0; r < o.rounds; ++r) {
    // Rotate the order so that no method always runs on a freshly trimmed or warmed disk.
    for (int k = 0; k < 3; ++k) {
      int step = (k + r) % 3;
      clearDir(d1);
      clearDir(d2);
      dropCaches(trees);
      if (step == 0) {
        OursTimes t = ours(card, src, d1, d2);
        ta.push_back(t.sum());
        tac.push_back(t.copy);
        tab.push_back(t.back);
      } else if (step == 1) {
        if (haveXxhsum) tb2.push_back(naive(src, d1, d2, root, trees));
      } else {
        Phases p = floorRun(card, src, d1, d2);
        tc.push_back(p.sum());
        tr.push_back(p.read);
        tw1.push_back(p.write1);
        tw2.push_back(p.write2);
        trb1.push_back(p.back1);
        trb2.push_back(p.back2);
      }
    }
    std::printf("round %d: ours %.2f s, naive %.2f s, floor %.2f s\n", r + 1, ta.back(),
                haveXxhsum ? tb2.back() : 0.0, tc.back());
  }
  clearDir(d1);
  clearDir(d2);

  auto mbs = [&](double t) { return t > 0 ? double(total) / 1e6 / t : 0.0; };
  Phases fp{median(tr), median(tw1), median(tw2), median(trb1), median(trb2)};
  double a = median(ta), c = median(tc);
  std::printf(
      "floor phases MB/s: read card %.0f, write dest1 %.0f, write dest2 %.0f, read back dest1 %.0f, dest2 %.0f\n",
      mbs(fp.read), mbs(fp.write1), mbs(fp.write2), mbs(fp.back1), mbs(fp.back2));
  std::printf("(a) copyOnce to 2 + read-back: %.2f s, %.0f MB/s (copy %.2f s, read-back %.2f s)\n",
              a, mbs(a), median(tac), median(tab));
  if (haveXxhsum) {
    double b = median(tb2);
    std::printf("(b) cp to each + xxhsum of all: %.2f s, %.0f MB/s\n", b, mbs(b));
    std::printf(
        "(c) floor, phases in sequence:  %.2f s, %.0f MB/s; with ideal overlap %.2f s, %.0f MB/s\n",
        c, mbs(c), fp.overlapped(), mbs(fp.overlapped()));
    std::printf("speed (a)/(c) = %.2f (target >= 0.9); (a)/(c ideal overlap) = %.2f\n", c / a,
                fp.overlapped() / a);
    std::printf(
        "time (b)/(a) = %.2f; predicted by the floor's phase speeds %.2f (sequential floor %.2f)\n",
        b / a, fp.naivePredicted() / fp.overlapped(), fp.naivePredicted() / fp.sum());
  } else {
    std::printf("(b) skipped: xxhsum not installed\n");
    std::printf("(c) floor, phases in sequence:  %.2f s, %.0f MB/s\n", c, mbs(c));
    std::printf("speed (a)/(c) = %.2f (target >= 0.9)\n", c / a);
  }
  return 0;
}
