// Test helpers for ingest runs: card files on disk, their planned rows, database rows.
#pragma once

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/files.h"
#include "engine/base/names.h"
#include "engine/base/text.h"
#include "engine/copy/ingest.h"
#include "engine/store/store.h"
#include "os/fd.h"
#include "testing/store_access.h"
#include "testing/test_util.h"

#include <gtest/gtest.h>

namespace tolverdine::testing {

inline const char* kCam = "A캠";

/// Writes a patterned file on the card and plans it into the footage folder.
inline Row cardRow(const std::string& card, const std::string& rel, size_t size, unsigned seed) {
  std::string p = card + "/" + rel;
  mkdirs(parentPath(p));
  writePattern(p, size, seed);
  struct stat s {};
  ::stat(p.c_str(), &s);
  Row r;
  r.src = p;
  r.rel = rel;
  r.kind = Kind::video;
  r.cls = "기타";
  r.size = static_cast<int64_t>(size);
  r.mtimeNs = int64_t{s.st_mtim.tv_sec} * 1000000000 + s.st_mtim.tv_nsec;
  r.dest = "01_원본/A캠/기타/" + lastComponent(rel);
  return r;
}

struct DbRow {
  std::string state, at;
  int64_t attempts = 0;
  std::optional<std::string> hash;
};

inline std::optional<DbRow> dbRow(Store& s, const Row& r, const std::string& root) {
  std::optional<DbRow> out;
  rawQuery(s, "SELECT state, at, attempts, xxh64 FROM copy WHERE key=? AND dest=?",
           {ingestKey(kCam, r), root}, [&](const SqlRow& row) {
             out = DbRow{row.textOr(0), row.textOr(1), row.int64(2), row.text(3)};
           });
  return out;
}

/// The row's "state/attempts" there, "none" without a row.
inline std::string stateOf(Store& s, const Row& r, const std::string& root) {
  auto row = dbRow(s, r, root);
  return row ? row->state + "/" + std::to_string(row->attempts) : "none";
}

inline int64_t dbRows(Store& s) {
  int64_t n = 0;
  rawQuery(s, "SELECT count(*) FROM copy", {}, [&](const SqlRow& row) { n = row.int64(0); });
  return n;
}

inline int64_t plenty(const std::string&) { return int64_t{1} << 40; }

/// The temporaries ("*.part") left anywhere under root, one a line; empty when none.
inline std::string partsUnder(const std::string& root) {
  return shellOutput("find '" + root + "' -name '*.part' 2>/dev/null").out;
}

/// What one run of a rig is given besides its rows; each field has the usual value.

/// Hooks with only the step before each read-back set.
inline IngestHooks beforeVerify(
    std::function<void(const Row&, const std::vector<std::string>&)> f) {
  IngestHooks h;
  h.beforeVerify = std::move(f);
  return h;
}

struct RunArgs {
  std::vector<std::string> dests = {};
  int copies = 1;
  IngestOptions options = {};
  FreeBytesFn free = plenty;
  ProgressFn progress = {};
  SleepGuard* sleep = nullptr;
  IngestHooks hooks = {};
  BytesFn bytes = {};
};

/// A card folder, a project folder on each of two drives and a database, for ingest runs.
struct IngestRig {
  TempDir dir;
  TempDrive one, two;
  std::string card = dir.path + "/card";
  std::string root1 = one.path + "/d1/20250101_p", root2 = two.path + "/d2/20250101_p";
  Store store{dir.path + "/db.sqlite"};
  std::vector<Row> rows;
  IngestRig() {
    for (const auto& d : {card, parentPath(root1), parentPath(root2)}) mkdirs(d);
  }
  Row& add(const std::string& rel, size_t size) {
    rows.push_back(cardRow(card, rel, size, static_cast<unsigned>(rows.size()) + 3));
    return rows.back();
  }
  /// n clips of the size, each one byte larger than the one before.
  void addClips(int n, size_t size) {
    for (int i = 0; i < n; ++i) {
      const std::string name = std::to_string(10001 + rows.size()).substr(1);
      add("PRIVATE/M4ROOT/CLIP/C" + name + ".MP4", size + rows.size());
    }
  }
  /// Onto the first project folder unless a.dests names others.
  IngestResult run(const RunArgs& a = {}) {
    return runIngest(rows, card, kCam, a.dests.empty() ? std::vector{root1} : a.dests,
                     NameSet::ko(), store, a.copies, a.options, a.free, a.progress, a.sleep,
                     a.hooks, a.bytes);
  }
  std::string at(const std::string& root, const Row& r) const { return root + "/" + *r.dest; }
};

/// What f threw as an E; nothing (and a failure if it threw something else) otherwise.
template <class E, class F> std::optional<E> thrown(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e;
  } catch (...) {
    ADD_FAILURE() << "another exception was thrown";
  }
  return std::nullopt;
}

/// The id of a process that has ended.
inline pid_t deadPid() {
  pid_t p = ::fork();
  if (p == 0) ::_exit(0);
  ::waitpid(p, nullptr, 0);
  return p;
}

/// Physical start of every extent of the file, as its file system maps it.
inline std::vector<uint64_t> extents(const std::string& path) {
  std::vector<uint64_t> out;
  UniqueFd fd(::open(path.c_str(), O_RDONLY));
  std::vector<char> buf(sizeof(fiemap) + 64 * sizeof(fiemap_extent));
  auto* fm = reinterpret_cast<fiemap*>(buf.data());
  fm->fm_length = ~0ULL;
  fm->fm_flags = FIEMAP_FLAG_SYNC;
  fm->fm_extent_count = 64;
  if (!fd || ::ioctl(fd.get(), FS_IOC_FIEMAP, fm) != 0) return out;
  for (unsigned i = 0; i < fm->fm_mapped_extents; ++i) out.push_back(fm->fm_extents[i].fe_physical);
  return out;
}

/// Flips byte `at` of a file on the loop device's image, behind the page cache of the mount.
inline void flipOnDevice(const LoopMount& m, const std::string& file, int64_t at) {
  auto e = extents(file);
  ASSERT_FALSE(e.empty());
  UniqueFd img(::open(m.image().c_str(), O_RDWR));
  char b = 0;
  const off_t pos = static_cast<off_t>(e[0]) + at;
  ASSERT_EQ(::pread(img.get(), &b, 1, pos), 1);
  b ^= 0x20;
  ASSERT_EQ(::pwrite(img.get(), &b, 1, pos), 1);
  ASSERT_EQ(::fsync(img.get()), 0);
}

struct FakeSleep : SleepGuard {
  int holds = 0, releases = 0;
  std::string reason;
  void hold(const std::string& r) override {
    ++holds;
    reason = r;
  }
  void release() override { ++releases; }
};

}  // namespace tolverdine::testing
