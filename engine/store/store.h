// The state database: every copy of every card file on every destination, the cards seen,
// camera labels and reclassification moves. One Store owns one connection; open one per task.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "engine/base/records.h"
#include "engine/store/copy_presence.h"
#include "engine/store/copy_state.h"

namespace tolverdine {

struct StoreError {
  std::string message;
  const std::string& description() const { return message; }
};

/// A bound argument (for the store's own statements). Every integer binds as a 64-bit integer; only
/// an absent value binds NULL.
class SqlValue {
 public:
  SqlValue() = default;
  SqlValue(std::nullopt_t) {}
  SqlValue(const char* s) : v_(std::string(s)) {}
  SqlValue(std::string s) : v_(std::move(s)) {}
  SqlValue(const std::optional<std::string>& s) {
    if (s) v_ = *s;
  }
  SqlValue(bool b) : v_(int64_t{b ? 1 : 0}) {}
  SqlValue(int i) : v_(int64_t{i}) {}
  SqlValue(long i) : v_(int64_t{i}) {}
  SqlValue(long long i) : v_(int64_t{i}) {}
  SqlValue(unsigned i) : v_(int64_t{i}) {}
  SqlValue(unsigned long i) : v_(static_cast<int64_t>(i)) {}
  SqlValue(unsigned long long i) : v_(static_cast<int64_t>(i)) {}
  const std::variant<std::monostate, int64_t, std::string>& get() const { return v_; }

 private:
  std::variant<std::monostate, int64_t, std::string> v_;
};

/// Column reader of the store's own statements.
class SqlRow {
 public:
  explicit SqlRow(sqlite3_stmt* st) : st_(st) {}
  std::optional<std::string> text(int col) const;  // NULL reads as absent
  std::string textOr(int col, const std::string& dflt = "") const {
    return text(col).value_or(dflt);
  }
  int64_t int64(int col) const;
  bool isNull(int col) const;

 private:
  sqlite3_stmt* st_;
};

/// One row of the library search.
struct Hit {
  std::string key, dest, rel;
  std::optional<std::string> view, hash;
  CopyState state = CopyState::failed;  // a text no build wrote reads as failed
  std::string at;
  int64_t size = 0;
  std::string id() const { return key + "|" + dest; }
  std::string cam() const;
  std::string name() const;
  std::string classPath() const { return view ? *view : rel; }
  bool online() const;
};

struct CardRecord {
  std::string fingerprint, cam;
  int files = 0;
  int64_t bytes = 0;
  std::string firstSeen, lastSeen;
};

struct Suggestion {
  std::string model, cls;
  int count = 0;
};

/// A verified copy on one destination, as the mirror run reads it.
struct Entry {
  std::string key, rel;
  int64_t size = 0;
  std::optional<std::string> hash, view;
};

/// Verified copies of one file key: those that count, and those left out because their file is
/// gone from a connected drive or no longer has the size and time it was given.
struct CopyTally {
  int counted = 0, missing = 0, changed = 0;
  std::vector<std::string> drives;  // the drives counted, one each
  int discounted() const { return missing + changed; }
};

/// Where a verified copy is listed from: its place now and its hashes.
struct ListedCopy {
  std::string rel;
  std::optional<std::string> hash, md5;
};

/// Where a copy lives on its destination: its copy path and, for a mirrored card, its view.
struct CopyPlaces {
  std::optional<std::string> rel, view;
};

struct CameraPair {
  std::string identity, label;
  bool operator==(const CameraPair&) const = default;
};

class Store {
 public:
  /// "Library/Application Support/TOLVERDINE/ingest.sqlite" under $HOME.
  static std::string defaultPath();
  /// Opens (creating folder and file); throws StoreError, or std::system_error for the folder.
  explicit Store(const std::string& path);
  const std::string& path() const { return path_; }
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // transactions
  /// BEGIN: the reads until commit() see one snapshot. False when one is open or it failed.
  bool begin() noexcept;
  /// BEGIN IMMEDIATE: takes the write lock now, waiting out other writers.
  bool beginImmediate() noexcept;
  /// COMMIT; when that fails the transaction is rolled back and false returned.
  bool commit() noexcept;
  void rollback() noexcept;
  /// A transaction is open (an error inside one may have ended it).
  bool inTransaction() const noexcept;

  // copy table
  void record(const std::string& key, const std::string& dest, const std::string& rel, int64_t size,
              const std::optional<std::string>& hash, CopyState state, int attempts,
              const std::optional<std::string>& md5 = std::nullopt,
              const std::optional<std::string>& view = std::nullopt,
              const std::optional<DriveFile>& on = std::nullopt) noexcept;
  /// Drives holding a verified copy of key that still counts (see copy_presence.h), each drive
  /// once, leaving out notOn (the card's own drive); 0 on any error.
  int verifiedCount(const std::string& key,
                    const std::optional<std::string>& notOn = std::nullopt) noexcept;
  CopyTally verifiedTally(const std::string& key,
                          const std::optional<std::string>& notOn = std::nullopt) noexcept;
  /// The verified row of key on dest.
  std::optional<RecordedCopy> verifiedRow(const std::string& key, const std::string& dest) noexcept;
  /// How a verified row is judged against the disk; the default looks at the real files.
  using CopyJudge = std::function<CopyJudgement(const RecordedCopy&)>;
  void setCopyJudge(CopyJudge judge) { judge_ = std::move(judge); }
  /// The mounted drives the default judge asks; the system's unless set.
  void setDrives(std::unique_ptr<Drives> drives) {
    drives_ = std::move(drives);
    drivesGiven_ = true;
  }
  /// Whether copies are judged on the real files of the system's drives (neither judge nor drives
  /// were set): another connection to the same file then judges alike.
  bool judgesRealFiles() const { return !judge_ && !drivesGiven_; }
  /// Counting leaves an older build's rows without the drive they were found on (a connection
  /// counting beside another that learns: the two would wait on each other's write).
  void learnNoDrives() { learns_ = false; }
  Drives& drives();
  std::optional<std::string> verifiedHash(const std::string& key, const std::string& dest) noexcept;
  std::optional<std::string> destRel(const std::string& key, const std::string& dest) noexcept;
  std::vector<std::string> verifiedRoots() noexcept;
  std::vector<Entry> verifiedEntries(const std::string& dest) noexcept;
  /// A verified row on a drive as a run follows them: its place in the table, key and hash.
  /// Every row on dest, whatever its state, as the layout reads who holds a place (hash absent
  /// unless recorded; view absent unless mirrored).
  std::vector<Entry> entriesOn(const std::string& dest) noexcept;
  /// Every row on dest by rel, unlimited: a clip is found however old it is.
  std::vector<Hit> copiesOn(const std::string& dest) noexcept;
  /// The first row on dest whose rel or view is relOrView. Throws StoreError.
  std::optional<Hit> copyNamed(const std::string& dest, const std::string& relOrView);
  /// Every row on dest whose key starts with keyPrefix (key, rel, hash and view filled).
  std::vector<Entry> copiesByKeyPrefix(const std::string& dest,
                                       const std::string& keyPrefix) noexcept;
  /// The verified row of key on dest, with the hashes a hash list names.
  std::optional<ListedCopy> verifiedCopy(const std::string& key, const std::string& dest) noexcept;
  /// The hash of some verified copy of key on any destination.
  std::optional<std::string> anyVerifiedHash(const std::string& key) noexcept;
  CopyPlaces copyPlaces(const std::string& key, const std::string& dest) noexcept;
  std::optional<std::string> recordedView(const std::string& key, const std::string& dest) noexcept;
  /// A moved copy: its view (when it has one, the copy file stays) or else its rel becomes
  /// newPath. False when the database refused.
  bool moveCopy(const std::string& key, const std::string& dest, const std::string& newPath,
                bool hasView) noexcept;

  // card table
  void recordCard(const std::string& fingerprint, const std::string& cam,
                  const std::vector<CardFile>& files,
                  const std::optional<std::string>& volume) noexcept;
  struct CardCam {
    std::string cam;
    std::optional<std::string> volume;
  };
  std::optional<CardCam> camForCard(const std::string& fingerprint) noexcept;
  std::optional<std::string> camForFile(const CardFile& f) noexcept;
  std::vector<CardRecord> cardHistory(int limit) noexcept;

  // camera table (identity = model code, "#serial" when known; empty: unknown camera)
  void rememberCamera(const std::string& identity, const std::string& label) noexcept;
  std::optional<std::string> cameraLabel(const std::string& identity) noexcept;
  /// Display name of the model of the most recently labelled camera with this label: the model
  /// code (identity up to "#") mapped through displayName (the model-name table), or the code.
  std::optional<std::string> modelFor(
      const std::string& cam, const std::function<std::optional<std::string>(const std::string&)>&
                                  displayName = {}) noexcept;
  std::vector<CameraPair> allCameras() noexcept;
  void importCameras(const std::vector<CameraPair>& pairs) noexcept;

  // move table
  void appendMove(const std::optional<std::string>& model,
                  const std::optional<std::string>& fromClass, const std::string& toClass,
                  const std::string& rel, const std::string& at) noexcept;
  std::vector<Suggestion> suggestions(int threshold) noexcept;

  /// Rows passing `where` (which reads the pattern as ?1), newest first, at most limit. When
  /// literal (the text the pattern stands for, wildcards meant literally) is long enough, the
  /// trigram index of the search file narrows the rows first; the answer is the same.
  std::vector<Hit> searchWhere(const std::string& where, const std::string& pattern,
                               const std::string& literal, int limit) noexcept;
  /// The search file beside the database: "ingest.sqlite" -> "ingest-search.sqlite".
  static std::string searchIndexPath(const std::string& dbPath);
  /// Brings the search file up to date with the copy table, in batches that each lock only the
  /// search file (never the state database), so records of other connections go on meanwhile.
  /// False when the search file cannot be opened or written (searches then read every row).
  /// Without recheck only the rows added since are indexed: those recorded again lately are left
  /// to be read as they are, by every search, until a catch-up that rechecks them.
  bool updateSearchIndex(bool recheck = true) noexcept;
  std::string summary() noexcept;

 private:
  friend struct StoreTestAccess;      // tests that break the database on purpose
  void exec(const std::string& sql);  // throws StoreError
  void query(const std::string& sql, const std::vector<SqlValue>& args,
             const std::function<void(const SqlRow&)>& row);  // throws StoreError
  /// exec that reports failure instead of throwing, for statements that fail on purpose.
  bool tryExec(const std::string& sql) noexcept;
  void learnDrive(const std::string& key, const std::string& dest, const DriveFile& on) noexcept;
  /// One line on stderr for an error dropped by `what`; each text once per Store.
  void noteDropped(const char* what, const std::string& why) noexcept;
  void ensureCard() noexcept;
  void ensureCamera() noexcept;
  void ensureMove() noexcept;
  bool canonicaliseDests() noexcept;  // false when it could not run (busy); nothing changed then
  void dropOldTextIndex() noexcept;
  bool attachSearch(bool create) noexcept;
  enum class CatchUp { done, more, failed };
  CatchUp catchUpSearch(int64_t newRows, bool wait, bool recheck = true) noexcept;
  void flushTouched(bool wait = false) noexcept;
  static void onChange(void* self, int op, const char* db, const char* table, sqlite3_int64 rowid);
  sqlite3* db_ = nullptr;
  std::string path_;
  bool attached_ = false;  // the search file is attached as "search"
  bool tracking_ = false;  // rows changed through query/exec are noted in touched_
  bool flushing_ = false;
  std::set<int64_t> touched_;  // copy rows changed here whose `at` may not show it
  bool touchedOverflow_ = false;
  CopyJudge judge_;
  std::unique_ptr<Drives> drives_;
  bool drivesGiven_ = false;
  bool learns_ = true;
  std::mutex toldLock_;
  std::set<std::string> told_;
};

/// Many lookups in a row read one snapshot instead of opening a transaction each; nothing is
/// written meanwhile. Does nothing when the caller holds a transaction already.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(Store& store) : store_(store), open_(store.begin()) {}
  ~ReadSnapshot() {
    if (open_) store_.commit();
  }
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;

 private:
  Store& store_;
  bool open_;
};

}  // namespace tolverdine
