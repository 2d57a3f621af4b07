// Test helpers for ingest runs: card files on disk, their planned rows, database rows.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/copy/ingest.h"
#include "engine/store/store.h"
#include "testing/store_access.h"
#include "testing/test_util.h"

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

struct Progress {
  struct Call {
    int n, count;
    std::string file;
    int64_t done, total;
  };
  std::vector<Call> calls;
  ProgressFn fn() {
    return [this](int n, int c, const std::string& f, int64_t d, int64_t t) {
      calls.push_back({n, c, f, d, t});
    };
  }
};

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
