// One card onto every destination: checks, copy rounds, verification, records, colour.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/base/names.h"
#include "engine/base/records.h"

namespace tolverdine {

class Store;

/// Held while a run copies; the platform's idle-sleep inhibitor implements it.
class SleepGuard {
 public:
  virtual ~SleepGuard() = default;
  virtual void hold(const std::string& reason) = 0;
  virtual void release() = 0;
};

using FreeBytesFn = std::function<int64_t(const std::string& root)>;
/// (n from 1, count, file name, bytesDone, bytesTotal); once more at the end with n = count, "".
using ProgressFn = std::function<void(int, int, const std::string&, int64_t, int64_t)>;

/// Live byte counts of a run: bytes read from the card and bytes read back from the copies (a
/// file read back from several destinations counts once), out of the bytes of all rows.
/// Reported at least every 16 MiB block and after every file, from the run's threads; the
/// receiver throttles.
struct ByteProgress {
  int64_t copied = 0;
  int64_t verified = 0;
  int64_t total = 0;
};
using BytesFn = std::function<void(const ByteProgress&)>;

struct IngestHooks {
  /// A test seam: called after each copyOnce with the part paths, before they are read back.
  std::function<void(const Row&, const std::vector<std::string>& partPaths)> beforeVerify;
  /// Called for each copy verified and recorded, with the copy's destination root and hash, from
  /// the run's threads: its report lines can be laid out during the copy.
  std::function<void(const Row&, const std::string& dest, const std::string& hash)> verified;
  /// Called once every copy is made and recorded, before the final count, with the result so far
  /// (its count and colour not set yet): the reports can be drawn while the count goes on.
  std::function<void(const IngestResult&)> copied;
};

/// The card's colour from a result whose underCopied is counted: red after a stop or a failure,
/// gray when no row was to be copied, yellow when a file has too few copies, else green.
CardColor verdictColor(const IngestResult& r, const std::vector<Row>& rows);

/// Throws IngestStop from the checks before the first copy; card removal during the rows is
/// returned in IngestResult::stopped.
IngestResult runIngest(const std::vector<Row>& rows, const std::string& src, const std::string& cam,
                       const std::vector<std::string>& dests, const NameSet& names, Store& store,
                       int copiesRequired, const IngestOptions& options, const FreeBytesFn& free,
                       const ProgressFn& progress, SleepGuard* sleep = nullptr,
                       const IngestHooks& hooks = {}, const BytesFn& bytes = {});

/// The application-log lines of a finished run.
std::vector<std::string> resultLog(const IngestResult& r, const std::string& card,
                                   const std::string& cam, double seconds, int64_t bytes);

}  // namespace tolverdine
