#include "engine/store/store.h"

#include <chrono>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <system_error>

#include "engine/base/canonical_path.h"
#include "engine/base/files.h"
#include "engine/base/text.h"
#include "os/fs.h"
#include "os/home.h"

namespace tolverdine {

namespace {

const char* const kCreateCopy =
    "CREATE TABLE IF NOT EXISTS copy (\n"
    "  key TEXT NOT NULL, dest TEXT NOT NULL, rel TEXT NOT NULL, size INTEGER NOT NULL,\n"
    "  xxh64 TEXT, state TEXT NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, at TEXT NOT NULL,\n"
    "  PRIMARY KEY (key, dest))";
const char* const kCreateCard =
    "CREATE TABLE IF NOT EXISTS card (\n"
    "  fingerprint TEXT PRIMARY KEY, cam TEXT NOT NULL, files INTEGER NOT NULL, bytes INTEGER NOT NULL,\n"
    "  first_seen TEXT NOT NULL, last_seen TEXT NOT NULL)";
const char* const kCreateCamera =
    "CREATE TABLE IF NOT EXISTS camera (identity TEXT PRIMARY KEY, label TEXT NOT NULL, at TEXT NOT NULL)";
const char* const kCreateMove =
    "CREATE TABLE IF NOT EXISTS move (model TEXT, from_class TEXT, to_class TEXT NOT NULL, rel TEXT, at TEXT NOT NULL)";

const char* const kRecord =
    "INSERT INTO copy (key, dest, rel, size, xxh64, state, attempts, at, md5, view, drive, ino) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)\n"
    "ON CONFLICT(key, dest) DO UPDATE SET rel=excluded.rel, size=excluded.size, xxh64=excluded.xxh64,\n"
    "  state=excluded.state, attempts=copy.attempts+excluded.attempts, at=excluded.at, md5=coalesce(excluded.md5, copy.md5),\n"
    "  view=coalesce(excluded.view, copy.view), drive=excluded.drive, ino=excluded.ino";
const char* const kRecordCard =
    "INSERT INTO card (fingerprint, cam, files, bytes, first_seen, last_seen, volume) VALUES (?,?,?,?,?,?,?)\n"
    "ON CONFLICT(fingerprint) DO UPDATE SET cam=excluded.cam, last_seen=excluded.last_seen, "
    "volume=coalesce(card.volume, excluded.volume)";

constexpr int kRecentRows = 20000;

// The search file beside the state database: a trigram index of the searched columns of copy,
// kept apart so that building it never holds the state database's write lock. Its meta rows:
// "db" the state database file it belongs to (device:inode), "rowid" the highest copy rowid
// indexed, "anchor" the key of that row (a file replaced under the same inode does not match),
// "at" a time before which every row recorded since carries a later `at`.
const char* const kSearchSchema[] = {
    "CREATE TABLE IF NOT EXISTS search.meta (k TEXT PRIMARY KEY, v)",
    "CREATE VIRTUAL TABLE IF NOT EXISTS search.copy_text USING fts5(rel, view, key,"
    " tokenize='trigram case_sensitive 0')",
};
// Builds before the split kept the index inside the state database.
const char* const kOldTextIndex[] = {
    "DROP TRIGGER IF EXISTS copy_text_ai",
    "DROP TRIGGER IF EXISTS copy_text_ad",
    "DROP TRIGGER IF EXISTS copy_text_au",
    "DROP TABLE IF EXISTS copy_text",
};
const char* const kIndexRows =
    "INSERT INTO search.copy_text (rowid, rel, view, key) SELECT rowid, rel, view, key FROM copy";
// The "+" keeps the planner on the index of `at` (a few recent rows) rather than the rowid range
// (nearly all of them). Indexed rows recorded since the time ?2 whose texts are no longer the
// indexed ones (a row recorded again at the same place is left as it is).
const char* const kChangedRows =
    "SELECT c.rowid FROM copy AS c CROSS JOIN search.copy_text AS t ON t.rowid = c.rowid"
    " WHERE +c.rowid <= ?1 AND c.at >= ?2 AND (t.rel IS NOT c.rel OR t.view IS NOT c.view OR t.key IS NOT c.key)";
// A record takes its time before it waits for the write lock (up to the busy time-out) and a
// grouped commit may hold it a little longer: rows committed after a catch-up have an `at` no
// older than this before it. Larger costs searches: rows this recent are read as they are.
constexpr std::time_t kAtSlack = 10;
constexpr int64_t kBuildBatch = 50000;
constexpr int64_t kSearchBatch = 5000;  // rows a search indexes on its way
constexpr size_t kTouchedMax = 100000;

// Texts of three code points or more can be looked up in the trigram index.
bool longEnough(const std::string& text) {
  size_t points = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++points;
  return points >= 3;
}

const char* const kHitColumns = "SELECT key, dest, rel, view, xxh64, state, at, size";

struct Section {
  const char* heading;
  const char* sql;
  int columns;
};
const Section kSummary[] = {
    {"## copy 상태별 (state | 파일 | 바이트)",
     "SELECT state, count(*), sum(size) FROM copy GROUP BY state", 3},
    {"## 목적지별 (dest | 파일 | 검증 | 바이트)",
     "SELECT dest, count(*), sum(state='verified'), sum(size) FROM copy GROUP BY dest", 4},
    {"## 카드 (cam | 파일 | 바이트 | 처음 | 마지막)",
     "SELECT cam, files, bytes, first_seen, last_seen FROM card ORDER BY last_seen DESC LIMIT 50",
     5},
    {"## 카메라 (identity | label)", "SELECT identity, label FROM camera ORDER BY at DESC LIMIT 50",
     2},
    {"## 최근 미검증 50건 (at | state | attempts | dest | rel)",
     "SELECT at, state, attempts, dest, rel FROM copy WHERE state != 'verified' ORDER BY at DESC LIMIT 50",
     5},
};

// Turns the noting of changed rows back on when a record is done.
struct ScopeTrack {
  bool& on;
  ~ScopeTrack() { on = true; }
};

// Per-file questions are asked tens of thousands of times for a large card: compiling the same
// text each time cost more than the lookups. A statement in use (a nested or parallel call of the
// same text) is out of the cache, so that call compiles its own.
struct StatementCache {
  std::mutex lock;
  std::map<std::pair<sqlite3*, std::string>, sqlite3_stmt*> kept;  // reset, not in use
};

StatementCache& statementCache() {
  static StatementCache* c = new StatementCache;  // outlives every Store, even static ones
  return *c;
}

sqlite3_stmt* takeStatement(sqlite3* db, const std::string& sql) {
  StatementCache& c = statementCache();
  std::lock_guard<std::mutex> g(c.lock);
  auto it = c.kept.find({db, sql});
  if (it == c.kept.end()) return nullptr;
  sqlite3_stmt* st = it->second;
  c.kept.erase(it);
  return st;
}

void keepStatement(sqlite3* db, const std::string& sql, sqlite3_stmt* st) {
  if (!st) return;
  sqlite3_reset(st);
  sqlite3_clear_bindings(st);
  StatementCache& c = statementCache();
  std::lock_guard<std::mutex> g(c.lock);
  if (c.kept.emplace(std::make_pair(db, sql), st).second) return;
  sqlite3_finalize(st);
}

void dropStatements(sqlite3* db) {
  StatementCache& c = statementCache();
  std::lock_guard<std::mutex> g(c.lock);
  for (auto it = c.kept.lower_bound({db, std::string()});
       it != c.kept.end() && it->first.first == db;) {
    sqlite3_finalize(it->second);
    it = c.kept.erase(it);
  }
}

struct StmtCloser {
  void operator()(sqlite3_stmt* st) const { sqlite3_finalize(st); }
};

Hit hitOf(const SqlRow& r) {
  return {r.textOr(0), r.textOr(1), r.textOr(2),
          r.text(3),   r.text(4),   copyStateFrom(r.textOr(5)).value_or(CopyState::failed),
          r.textOr(6), r.int64(7)};
}

// Device and inode of the database file, which the search file is tied to.
std::optional<std::string> fileIdentity(const std::string& path, bool regularOnly) {
  struct ::stat st {};
  if (realFs().stat(path, &st) != 0 || (regularOnly && !S_ISREG(st.st_mode))) return std::nullopt;
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// Prints one whole line, so lines of parallel jobs do not interleave.
void errorLine(const std::string& text) {
  std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// The folder and its parents, as given (no composing of names); 0 or the error number.
int makeFolders(const std::string& folder) {
  Fs& fs = realFs();
  std::string cur;
  size_t i = 0;
  while (i <= folder.size()) {
    size_t j = folder.find('/', i);
    if (j == std::string::npos) j = folder.size();
    cur = folder.substr(0, j);
    i = j + 1;
    if (cur.empty() || cur.back() == '/') continue;
    if (fs.mkdir(cur, 0755) == 0) continue;
    const int err = errno;
    struct ::stat st {};
    if (err != EEXIST) return err;
    if (fs.stat(cur, &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  }
  return 0;
}

}  // namespace

// ---- rows and hits ----

std::optional<std::string> SqlRow::text(int col) const {
  if (sqlite3_column_type(st_, col) == SQLITE_NULL) return std::nullopt;
  const unsigned char* p = sqlite3_column_text(st_, col);
  int n = sqlite3_column_bytes(st_, col);
  if (!p) return std::string();
  return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
}

int64_t SqlRow::int64(int col) const { return sqlite3_column_int64(st_, col); }

bool SqlRow::isNull(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }

std::string Hit::cam() const { return key.substr(0, key.find('|')); }

std::string Hit::name() const { return lastComponent(rel); }

bool Hit::online() const { return !dest.empty() && exists(dest); }

// ---- opening and primitives ----

std::string Store::defaultPath() { return applicationSupportDir() + "/ingest.sqlite"; }

Store::Store(const std::string& path) {
  const std::string parent = parentPath(path);
  if (!parent.empty()) {
    if (int err = makeFolders(parent))
      throw std::system_error(err, std::generic_category(), parent);
  }
  // Connections are handed between threads (created on one, used on another), so ask for the
  // serialized mode whatever the library's default is.
  int rc =
      sqlite3_open_v2(path.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK || !db_) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError{"DB 열기 실패: " + path};
  }
  sqlite3_busy_timeout(db_, 5000);
  // Two connections creating a fresh file at once can get SQLITE_BUSY without the busy handler
  // being asked (a lock upgrade that would deadlock); the loser simply tries again.
  for (int attempt = 1;; ++attempt) {
    try {
      exec("PRAGMA journal_mode=WAL");
      exec(kCreateCopy);
      break;
    } catch (const StoreError&) {
      int code = sqlite3_errcode(db_);
      if ((code == SQLITE_BUSY || code == SQLITE_LOCKED) && attempt < 100) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      sqlite3_close(db_);
      db_ = nullptr;
      throw;
    } catch (const std::exception&) {  // out of memory
      sqlite3_close(db_);
      db_ = nullptr;
      throw;
    }
  }
  // Older files lack these columns; on every later open the ALTER fails because they exist.
  tryExec("ALTER TABLE copy ADD COLUMN md5 TEXT");
  tryExec("ALTER TABLE copy ADD COLUMN view TEXT");
  // Where a copy is physically (see DriveFile); rows of older builds learn it on their drive.
  tryExec("ALTER TABLE copy ADD COLUMN drive TEXT");
  tryExec("ALTER TABLE copy ADD COLUMN ino INTEGER");
  // The library lists newest first with a limit: walking this index stops after the limit.
  if (!tryExec("CREATE INDEX IF NOT EXISTS copy_at ON copy (at)"))
    noteDropped("copy_at", sqlite3_errmsg(db_));
  // Once per file and process: the fold reads every row, and only older builds leave work for it.
  static std::mutex foldedLock;
  static std::set<std::string> folded;
  bool fold;
  {
    std::lock_guard<std::mutex> g(foldedLock);
    fold = folded.insert(path).second;
  }
  if (fold && !canonicaliseDests()) {
    std::lock_guard<std::mutex> g(foldedLock);
    folded.erase(path);  // busy or failed: the next open tries again
  }
  dropOldTextIndex();
  path_ = path;
  sqlite3_update_hook(db_, &Store::onChange, this);
  tracking_ = true;
}

void Store::dropOldTextIndex() noexcept {
  bool old = false;
  try {
    query(
        "SELECT 1 FROM sqlite_master WHERE name IN ('copy_text', 'copy_text_ai', 'copy_text_ad', 'copy_text_au')",
        {}, [&](const SqlRow&) { old = true; });
  } catch (const StoreError& e) {
    noteDropped("dropOldTextIndex", e.message);
  }
  if (!old) return;
  // One short transaction; a failure (another process at it) leaves it for the next open.
  try {
    exec("BEGIN IMMEDIATE");
    for (const char* sql : kOldTextIndex) exec(sql);
    exec("COMMIT");
  } catch (const StoreError&) {
    rollback();
  }
}

// Older builds stored destinations as typed ("/mnt/d1//20260301_R" beside "/mnt/d1/20260301_R",
// relative ones, links): one folder under two texts counted its copies twice. Each such text is
// folded into its canonical form once, keeping the newest row of a file where both have one.
bool Store::canonicaliseDests() noexcept {
  auto pending = [&] {
    std::vector<std::pair<std::string, std::string>> moves;  // (stored, canonical)
    query("SELECT DISTINCT dest FROM copy", {}, [&](const SqlRow& r) {
      std::string d = r.textOr(0), c = canonicalPath(d);
      if (!c.empty() && c != d) moves.emplace_back(d, c);
    });
    return moves;
  };
  try {
    if (pending().empty()) return true;
    exec("BEGIN IMMEDIATE");
    exec("CREATE TEMP TABLE IF NOT EXISTS fold (old TEXT PRIMARY KEY, new TEXT NOT NULL)");
    exec("DELETE FROM temp.fold");
    for (const auto& [from, to] : pending())
      query("INSERT INTO temp.fold (old, new) VALUES (?,?)", {from, to}, {});
    // Of the rows of one file in one folder, the newest stays (the canonical text wins a tie).
    exec(
        "WITH m AS (SELECT c.rowid AS id, c.key AS key, coalesce(f.new, c.dest) AS folder, c.at AS at,"
        " f.new IS NULL AS canonical FROM copy c LEFT JOIN temp.fold f ON f.old = c.dest"
        " WHERE c.dest IN (SELECT old FROM temp.fold) OR c.dest IN (SELECT new FROM temp.fold)),"
        " r AS (SELECT id, row_number() OVER (PARTITION BY key, folder ORDER BY at DESC, canonical DESC) AS n FROM m)"
        " DELETE FROM copy WHERE rowid IN (SELECT id FROM r WHERE n > 1)");
    exec(
        "UPDATE copy SET dest = (SELECT new FROM temp.fold WHERE old = copy.dest)"
        " WHERE dest IN (SELECT old FROM temp.fold)");
    exec("DROP TABLE temp.fold");
    exec("COMMIT");
    return true;
  } catch (const StoreError&) {
    // The rows stay as they were.
    rollback();
    return false;
  }
}

std::string Store::searchIndexPath(const std::string& dbPath) {
  // "…/ingest.sqlite" -> "…/ingest-search.sqlite"; a leading dot starts no extension.
  const std::string name = lastComponent(dbPath);
  const size_t dot = name.rfind('.');
  const size_t cut = dot == std::string::npos || dot == 0 ? name.size() : dot;
  return dbPath.substr(0, dbPath.size() - name.size()) + name.substr(0, cut) + "-search" +
         name.substr(cut);
}

void Store::onChange(void* self, int, const char* db, const char* table, sqlite3_int64 rowid) {
  auto* s = static_cast<Store*>(self);
  if (!s->tracking_ || s->flushing_ || std::strcmp(db, "main") != 0 ||
      std::strcmp(table, "copy") != 0)
    return;
  if (s->touched_.size() < kTouchedMax) s->touched_.insert(rowid);
  else s->touchedOverflow_ = true;
}

bool Store::attachSearch(bool create) noexcept {
  if (attached_) return true;
  if (path_.empty()) return false;
  const std::string file = searchIndexPath(path_);
  if (!create && !exists(file)) return false;
  bool was = flushing_;
  flushing_ = true;
  try {
    query("ATTACH DATABASE ? AS search", {file}, {});
    attached_ = true;
    exec("PRAGMA search.journal_mode=WAL");
    for (const char* sql : kSearchSchema) exec(sql);
  } catch (const StoreError& e) {
    // Searches then read every row.
    noteDropped("attachSearch", e.message);
    if (attached_ && !tryExec("DETACH DATABASE search")) noteDropped("DETACH", sqlite3_errmsg(db_));
    attached_ = false;
  }
  flushing_ = was;
  return attached_;
}

Store::CatchUp Store::catchUpSearch(int64_t newRows, bool wait, bool recheck) noexcept {
  if (!sqlite3_get_autocommit(db_)) return CatchUp::failed;  // inside a caller's transaction
  const std::optional<std::string> file = fileIdentity(path_, /*regularOnly=*/true);
  if (!file) return CatchUp::failed;
  if (!attachSearch(true)) return CatchUp::failed;
  const std::string& identity = *file;
  flushing_ = true;
  if (!wait) sqlite3_busy_timeout(db_, 0);
  CatchUp out = CatchUp::failed;
  // Most searches find nothing to do: that is learnt by reading alone, without a write (and the
  // sync of its commit) on the search file.
  if (touched_.empty() && !touchedOverflow_) {
    try {
      exec("BEGIN");
      std::map<std::string, std::string> meta;
      query("SELECT k, v FROM search.meta", {},
            [&](const SqlRow& r) { meta[r.textOr(0)] = r.textOr(1); });
      const int64_t indexed = meta.count("rowid") ? std::atoll(meta["rowid"].c_str()) : 0;
      bool stale = meta["db"] != identity || !meta.count("at");
      if (!stale && indexed > 0) {
        std::optional<std::string> key;
        query("SELECT key FROM copy WHERE rowid=?", {indexed},
              [&](const SqlRow& r) { key = r.text(0); });
        stale = !key || *key != meta["anchor"];
      }
      if (!stale)
        query("SELECT 1 FROM copy WHERE rowid > ? LIMIT 1", {indexed},
              [&](const SqlRow&) { stale = true; });
      if (!stale && indexed > 0 && recheck)
        query(
            "SELECT 1 FROM copy AS c WHERE +c.rowid <= ?1 AND c.at >= ?2 AND NOT EXISTS (SELECT 1 FROM"
            " search.copy_text AS t WHERE t.rowid = c.rowid AND t.rel IS c.rel AND t.view IS c.view AND t.key IS c.key)"
            " LIMIT 1",
            {indexed, meta["at"]}, [&](const SqlRow&) { stale = true; });
      exec("COMMIT");
      if (!stale) out = CatchUp::done;
    } catch (const StoreError&) {
      rollback();  // the writing pass below finds out again
    }
  }
  if (out == CatchUp::done) {
    if (!wait) sqlite3_busy_timeout(db_, 5000);
    flushing_ = false;
    return out;
  }
  try {
    exec("BEGIN");
    // Written first, so from here on the transaction holds the search file's write lock (only
    // that: the state database is only read) and sees its newest state.
    exec("INSERT INTO search.meta (k, v) VALUES ('epoch', 1) ON CONFLICT(k) DO UPDATE SET v=v+1");
    std::map<std::string, std::string> meta;
    query("SELECT k, v FROM search.meta", {},
          [&](const SqlRow& r) { meta[r.textOr(0)] = r.textOr(1); });
    int64_t indexed = meta.count("rowid") ? std::atoll(meta["rowid"].c_str()) : 0;
    std::string since = meta["at"];
    bool valid = meta["db"] == identity && !touchedOverflow_;
    if (valid && indexed > 0) {
      std::optional<std::string> key;
      query("SELECT key FROM copy WHERE rowid=?", {indexed},
            [&](const SqlRow& r) { key = r.text(0); });
      valid = key && *key == meta["anchor"];
    }
    if (!valid) {
      exec("DELETE FROM search.copy_text");
      indexed = 0;
      since.clear();
    }
    // Without the recheck, `at` stays where it was: the rows recorded since are still read as
    // they are by every search, until a catch-up that rechecks them. A file without one is
    // rechecked whole.
    if (since.empty()) recheck = true;
    const std::string nextSince = recheck ? isoTime(std::time(nullptr) - kAtSlack) : since;
    if (indexed > 0) {
      // Rows changed here by hand first, then every row recorded again since the last catch-up.
      for (int64_t row : touched_) {
        if (row > indexed) break;
        query("DELETE FROM search.copy_text WHERE rowid=?", {row}, {});
        query(std::string(kIndexRows) + " WHERE rowid=?", {row}, {});
      }
      if (recheck) {
        query("DELETE FROM search.copy_text WHERE rowid IN (" + std::string(kChangedRows) + ")",
              {indexed, since}, {});
        query(std::string(kIndexRows) +
                  " AS c WHERE +c.rowid <= ?1 AND c.at >= ?2"
                  " AND NOT EXISTS (SELECT 1 FROM search.copy_text AS t WHERE t.rowid = c.rowid)",
              {indexed, since}, {});
      }
    }
    int64_t last = indexed;
    query(
        "SELECT max(rowid) FROM (SELECT rowid FROM copy WHERE rowid > ?1 ORDER BY rowid LIMIT ?2)",
        {indexed, newRows}, [&](const SqlRow& r) {
          if (!r.isNull(0)) last = r.int64(0);
        });
    if (last > indexed)
      query(std::string(kIndexRows) + " WHERE rowid > ?1 AND rowid <= ?2", {indexed, last}, {});
    bool more = false;
    query("SELECT 1 FROM copy WHERE rowid > ? LIMIT 1", {last},
          [&](const SqlRow&) { more = true; });
    std::string anchor;
    if (last > 0)
      query("SELECT key FROM copy WHERE rowid=?", {last},
            [&](const SqlRow& r) { anchor = r.textOr(0); });
    const char* put =
        "INSERT INTO search.meta (k, v) VALUES (?, ?) ON CONFLICT(k) DO UPDATE SET v=excluded.v";
    query(put, {"db", identity}, {});
    query(put, {"rowid", std::to_string(last)}, {});
    query(put, {"anchor", anchor}, {});
    query(put, {"at", nextSince}, {});
    exec("COMMIT");
    touched_.clear();
    touchedOverflow_ = false;
    out = more ? CatchUp::more : CatchUp::done;
  } catch (const StoreError& e) {
    // A busy search file is tried again later; searches meanwhile read the rows themselves.
    if (sqlite3_errcode(db_) != SQLITE_BUSY && sqlite3_errcode(db_) != SQLITE_LOCKED)
      noteDropped("catchUpSearch", e.message);
    rollback();
  }
  if (!wait) sqlite3_busy_timeout(db_, 5000);
  flushing_ = false;
  return out;
}

bool Store::updateSearchIndex(bool recheck) noexcept {
  for (;;) {
    switch (catchUpSearch(kBuildBatch, /*wait=*/true, recheck)) {
      case CatchUp::done: return true;
      case CatchUp::more: continue;
      case CatchUp::failed: return false;
    }
  }
}

// Rows changed by a statement of a caller (a reclassified clip) keep their `at`; the search file
// learns of them at once, when it exists. A busy search file is tried again later.
void Store::flushTouched(bool wait) noexcept {
  if (flushing_ || (touched_.empty() && !touchedOverflow_) || !sqlite3_get_autocommit(db_)) return;
  if (!attachSearch(false)) {
    touched_.clear();  // no search file yet: its first build reads the rows as they are
    touchedOverflow_ = false;
    return;
  }
  catchUpSearch(0, wait);
}

Store::~Store() {
  flushTouched(/*wait=*/true);  // the last chance to tell the search file
  dropStatements(db_);
  sqlite3_close(db_);
}

void Store::exec(const std::string& sql) {
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
    throw StoreError{sqlite3_errmsg(db_)};
  flushTouched();
}

bool Store::tryExec(const std::string& sql) noexcept {
  try {
    exec(sql);
    return true;
  } catch (const StoreError&) {
    return false;
  }
}

void Store::noteDropped(const char* what, const std::string& why) noexcept {
  try {
    std::string line = std::string("TOLVERDINE 상태 DB 오류 (") + what + "): " + why;
    {
      std::lock_guard<std::mutex> g(toldLock_);
      if (!told_.insert(line).second) return;  // a broken database would repeat it per file
    }
    errorLine(line);
  } catch (const std::exception&) {
    // Out of memory for a message: the caller's fallback stands without it.
  }
}

bool Store::begin() noexcept { return tryExec("BEGIN"); }

bool Store::beginImmediate() noexcept { return tryExec("BEGIN IMMEDIATE"); }

bool Store::commit() noexcept {
  if (tryExec("COMMIT")) return true;
  noteDropped("COMMIT", sqlite3_errmsg(db_));
  rollback();
  return false;
}

void Store::rollback() noexcept {
  // Nothing open (an error ended it already) is the common case, and no fault.
  if (!sqlite3_get_autocommit(db_) && !tryExec("ROLLBACK"))
    noteDropped("ROLLBACK", sqlite3_errmsg(db_));
}

bool Store::inTransaction() const noexcept { return !sqlite3_get_autocommit(db_); }

void Store::query(const std::string& sql, const std::vector<SqlValue>& args,
                  const std::function<void(const SqlRow&)>& row) {
  sqlite3_stmt* raw = takeStatement(db_, sql);
  if (!raw && (sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK || !raw)) {
    sqlite3_finalize(raw);
    throw StoreError{sqlite3_errmsg(db_)};
  }
  // Back to the cache on every way out, reset, for the next call of the same text.
  auto keep = [this, &sql](sqlite3_stmt* st) { keepStatement(db_, sql, st); };
  std::unique_ptr<sqlite3_stmt, decltype(keep)> st(raw, keep);
  for (size_t i = 0; i < args.size(); ++i) {
    int idx = static_cast<int>(i + 1);
    const auto& v = args[i].get();
    if (const auto* n = std::get_if<int64_t>(&v)) sqlite3_bind_int64(raw, idx, *n);
    else if (const auto* s = std::get_if<std::string>(&v))
      sqlite3_bind_text(raw, idx, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
    else sqlite3_bind_null(raw, idx);
  }
  SqlRow r(raw);
  int rc;
  while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
    if (row) row(r);
  }
  if (rc != SQLITE_DONE) throw StoreError{sqlite3_errmsg(db_)};
  st.reset();
  flushTouched();
}

// ---- copy table ----

void Store::record(const std::string& key, const std::string& dest, const std::string& rel,
                   int64_t size, const std::optional<std::string>& hash, CopyState state,
                   int attempts, const std::optional<std::string>& md5,
                   const std::optional<std::string>& view,
                   const std::optional<DriveFile>& on) noexcept {
  std::string why;
  // A recorded row carries a new `at`, which is how the search file finds it.
  tracking_ = false;
  ScopeTrack track{tracking_};
  try {
    query(kRecord,
          {key, dest, rel, size, hash, copyStateText(state), attempts, isoNow(), md5, view,
           on ? SqlValue(on->drive) : SqlValue(), on ? SqlValue(on->ino) : SqlValue()},
          {});
    return;
  } catch (const StoreError& e) {
    why = e.message;
  } catch (const std::exception& e) {
    why = e.what();
  }
  // Every failed record is told: each is a copy the database does not know of.
  errorLine("TOLVERDINE 상태 기록 실패: " + why);
}

int Store::verifiedCount(const std::string& key, const std::optional<std::string>& notOn) noexcept {
  return verifiedTally(key, notOn).counted;
}

Drives& Store::drives() {
  if (!drives_) drives_ = systemDrives();
  return *drives_;
}

namespace {

RecordedCopy recordedFrom(const std::string& key, const SqlRow& r) {
  RecordedCopy c{key, r.textOr(0), r.textOr(1), r.textOr(2), std::nullopt};
  if (auto drive = r.text(3); drive && !r.isNull(4)) c.on = DriveFile{*drive, r.int64(4)};
  return c;
}

}  // namespace

CopyTally Store::verifiedTally(const std::string& key,
                               const std::optional<std::string>& notOn) noexcept {
  CopyTally t;
  try {
    std::vector<RecordedCopy> rows;
    query("SELECT dest, rel, at, drive, ino FROM copy WHERE key=? AND state='verified'", {key},
          [&](const SqlRow& r) { rows.push_back(recordedFrom(key, r)); });
    // A copy counts only while its file is still there, or while its drive is away on the shelf;
    // and once per disk, however many folders, mounts or volumes of that disk hold it.
    std::set<std::string> counted;
    for (const auto& c : rows) {
      CopyJudgement j = judge_ ? judge_(c) : judgeCopy(c, realStat(), drives());
      switch (j.place) {
        case CopyPlace::good: {
          counted.insert(j.on ? j.on->drive : c.on ? c.on->drive : c.dest);
          // A row of an older build found on its drive keeps what was learnt there.
          if (!c.on && j.on && learns_) learnDrive(key, c.dest, *j.on);
          break;
        }
        case CopyPlace::missing: ++t.missing; break;
        case CopyPlace::changed: ++t.changed; break;
      }
    }
    t.drives = drivesApart(counted, notOn, drives());
    t.counted = static_cast<int>(t.drives.size());
  } catch (const StoreError& e) {
    noteDropped("verifiedTally", e.message);
    return {};
  } catch (const std::exception& e) {  // a judge that could not look
    noteDropped("verifiedTally", e.what());
    return {};
  }
  return t;
}

void Store::learnDrive(const std::string& key, const std::string& dest,
                       const DriveFile& on) noexcept {
  try {
    query("UPDATE copy SET drive=?, ino=? WHERE key=? AND dest=? AND drive IS NULL",
          {on.drive, on.ino, key, dest}, {});
  } catch (const StoreError& e) {
    // Learnt again the next time: until then the row is judged on its drive each time.
    noteDropped("learnDrive", e.message);
  }
}

std::optional<RecordedCopy> Store::verifiedRow(const std::string& key,
                                               const std::string& dest) noexcept {
  std::optional<RecordedCopy> out;
  try {
    query("SELECT dest, rel, at, drive, ino FROM copy WHERE key=? AND dest=? AND state='verified'",
          {key, dest}, [&](const SqlRow& r) { out = recordedFrom(key, r); });
  } catch (const StoreError& e) {
    noteDropped("verifiedRow", e.message);
    return std::nullopt;
  }
  return out;
}

std::optional<std::string> Store::verifiedHash(const std::string& key,
                                               const std::string& dest) noexcept {
  std::optional<std::string> h;
  try {
    query("SELECT xxh64 FROM copy WHERE key=? AND dest=? AND state='verified'", {key, dest},
          [&](const SqlRow& r) { h = r.text(0); });
  } catch (const StoreError& e) {
    noteDropped("verifiedHash", e.message);
    return std::nullopt;
  }
  return h;
}

std::optional<std::string> Store::destRel(const std::string& key,
                                          const std::string& dest) noexcept {
  std::optional<std::string> rel;
  try {
    query("SELECT rel FROM copy WHERE key=? AND dest=?", {key, dest},
          [&](const SqlRow& r) { rel = r.text(0); });
  } catch (const StoreError& e) {
    noteDropped("destRel", e.message);
    return std::nullopt;
  }
  return rel;
}

std::vector<std::string> Store::verifiedRoots() noexcept {
  std::vector<std::string> out;
  try {
    query("SELECT DISTINCT dest FROM copy WHERE state='verified' ORDER BY dest", {},
          [&](const SqlRow& r) { out.push_back(r.textOr(0)); });
  } catch (const StoreError& e) {
    noteDropped("verifiedRoots", e.message);
  }
  return out;
}

std::vector<Entry> Store::verifiedEntries(const std::string& dest) noexcept {
  std::vector<Entry> out;
  try {
    query(
        "SELECT key, rel, size, xxh64, view FROM copy WHERE dest=? AND state='verified' ORDER BY rel",
        {dest}, [&](const SqlRow& r) {
          out.push_back({r.textOr(0), r.textOr(1), r.int64(2), r.text(3), r.text(4)});
        });
  } catch (const StoreError& e) {
    noteDropped("verifiedEntries", e.message);
  }
  return out;
}

std::vector<Entry> Store::entriesOn(const std::string& dest) noexcept {
  std::vector<Entry> out;
  try {
    query("SELECT key, rel, view, size, xxh64 FROM copy WHERE dest=?", {dest},
          [&](const SqlRow& q) {
            out.push_back({q.textOr(0), q.textOr(1), q.int64(3), q.text(4), q.text(2)});
          });
  } catch (const StoreError& e) {
    noteDropped("entriesOn", e.message);
  }
  return out;
}

std::vector<Hit> Store::copiesOn(const std::string& dest) noexcept {
  std::vector<Hit> out;
  try {
    query("SELECT key, dest, rel, view, xxh64, state, at, size FROM copy WHERE dest=? ORDER BY rel",
          {dest}, [&](const SqlRow& r) { out.push_back(hitOf(r)); });
  } catch (const StoreError& e) {
    noteDropped("copiesOn", e.message);
  }
  return out;
}

std::optional<Hit> Store::copyNamed(const std::string& dest, const std::string& relOrView) {
  std::optional<Hit> hit;
  query(
      "SELECT key, dest, rel, view, xxh64, state, at, size FROM copy WHERE dest=? AND (rel=? OR view=?)",
      {dest, relOrView, relOrView}, [&](const SqlRow& r) {
        if (!hit) hit = hitOf(r);
      });
  return hit;
}

std::vector<Entry> Store::copiesByKeyPrefix(const std::string& dest,
                                            const std::string& keyPrefix) noexcept {
  std::vector<Entry> out;
  try {
    query("SELECT key, rel, view, xxh64 FROM copy WHERE dest = ?1 AND key >= ?2 AND key < ?3",
          {dest, keyPrefix, keyPrefix + "\x7f"}, [&](const SqlRow& row) {
            out.push_back(Entry{row.textOr(0), row.textOr(1), 0, row.text(3), row.text(2)});
          });
  } catch (const StoreError& e) {
    noteDropped("copiesByKeyPrefix", e.message);
    return {};
  }
  return out;
}

std::optional<ListedCopy> Store::verifiedCopy(const std::string& key,
                                              const std::string& dest) noexcept {
  std::optional<ListedCopy> out;
  try {
    query("SELECT rel, xxh64, md5 FROM copy WHERE key=? AND dest=? AND state='verified'",
          {key, dest}, [&](const SqlRow& q) {
            out = ListedCopy{q.textOr(0), q.text(1), q.text(2)};
          });
  } catch (const StoreError& e) {
    noteDropped("verifiedCopy", e.message);
    return std::nullopt;
  }
  return out;
}

std::optional<std::string> Store::anyVerifiedHash(const std::string& key) noexcept {
  std::optional<std::string> out;
  try {
    query("SELECT xxh64 FROM copy WHERE key=? AND state='verified' LIMIT 1", {key},
          [&](const SqlRow& r) { out = r.text(0); });
  } catch (const StoreError& e) {
    noteDropped("anyVerifiedHash", e.message);
    return std::nullopt;
  }
  return out;
}

CopyPlaces Store::copyPlaces(const std::string& key, const std::string& dest) noexcept {
  CopyPlaces out;
  try {
    query("SELECT rel, view FROM copy WHERE key=? AND dest=?", {key, dest}, [&](const SqlRow& q) {
      out = CopyPlaces{q.text(0), q.text(1)};
    });
  } catch (const StoreError& e) {
    noteDropped("copyPlaces", e.message);
    return {};
  }
  return out;
}

std::optional<std::string> Store::recordedView(const std::string& key,
                                               const std::string& dest) noexcept {
  std::optional<std::string> v;
  try {
    query("SELECT view FROM copy WHERE key=? AND dest=?", {key, dest},
          [&](const SqlRow& r) { v = r.text(0); });
  } catch (const StoreError& e) {
    noteDropped("recordedView", e.message);
    return std::nullopt;
  }
  return v;
}

bool Store::moveCopy(const std::string& key, const std::string& dest, const std::string& newPath,
                     bool hasView) noexcept {
  try {
    query(hasView ? "UPDATE copy SET view=? WHERE key=? AND dest=?"
                  : "UPDATE copy SET rel=? WHERE key=? AND dest=?",
          {newPath, key, dest}, {});
    return true;
  } catch (const StoreError& e) {
    noteDropped("moveCopy", e.message);
    return false;
  }
}

// ---- card table ----

void Store::ensureCard() noexcept {
  if (!tryExec(kCreateCard)) noteDropped("ensureCard", sqlite3_errmsg(db_));
  tryExec("ALTER TABLE card ADD COLUMN volume TEXT");  // fails once the column exists
}

void Store::recordCard(const std::string& fingerprint, const std::string& cam,
                       const std::vector<CardFile>& files,
                       const std::optional<std::string>& volume) noexcept {
  ensureCard();
  int64_t bytes = 0;
  for (const auto& f : files) bytes += f.size;
  try {
    std::string now = isoNow();
    query(kRecordCard, {fingerprint, cam, files.size(), bytes, now, now, volume}, {});
  } catch (const StoreError& e) {
    noteDropped("recordCard", e.message);
  }
}

std::optional<Store::CardCam> Store::camForCard(const std::string& fingerprint) noexcept {
  ensureCard();
  std::optional<CardCam> out;
  try {
    query("SELECT cam, volume FROM card WHERE fingerprint=?", {fingerprint}, [&](const SqlRow& r) {
      out = CardCam{r.textOr(0), r.text(1)};
    });
  } catch (const StoreError& e) {
    noteDropped("camForCard", e.message);
    return std::nullopt;
  }
  return out;
}

std::optional<std::string> Store::camForFile(const CardFile& f) noexcept {
  try {
    std::string suffix = ingestKey("", f);  // "|rel|size|mtimeNs"
    std::optional<std::string> key;
    query("SELECT key FROM copy WHERE substr(key, -length(?)) = ? LIMIT 1", {suffix, suffix},
          [&](const SqlRow& r) { key = r.text(0); });
    if (!key || key->size() < suffix.size() ||
        key->compare(key->size() - suffix.size(), suffix.size(), suffix) != 0)
      return std::nullopt;
    return key->substr(0, key->size() - suffix.size());
  } catch (const StoreError& e) {
    noteDropped("camForFile", e.message);
    return std::nullopt;
  }
}

std::vector<CardRecord> Store::cardHistory(int limit) noexcept {
  ensureCard();
  std::vector<CardRecord> out;
  try {
    query(
        "SELECT fingerprint, cam, files, bytes, first_seen, last_seen FROM card ORDER BY last_seen DESC LIMIT ?",
        {limit}, [&](const SqlRow& r) {
          out.push_back({r.textOr(0), r.textOr(1), static_cast<int>(r.int64(2)), r.int64(3),
                         r.textOr(4), r.textOr(5)});
        });
  } catch (const StoreError& e) {
    noteDropped("cardHistory", e.message);
  }
  return out;
}

// ---- camera table ----

void Store::ensureCamera() noexcept {
  if (!tryExec(kCreateCamera)) noteDropped("ensureCamera", sqlite3_errmsg(db_));
}

void Store::rememberCamera(const std::string& identity, const std::string& label) noexcept {
  if (identity.empty()) return;
  ensureCamera();
  try {
    query(
        "INSERT INTO camera (identity, label, at) VALUES (?,?,?) "
        "ON CONFLICT(identity) DO UPDATE SET label=excluded.label, at=excluded.at",
        {identity, label, isoNow()}, {});
  } catch (const StoreError& e) {
    noteDropped("rememberCamera", e.message);
  }
}

std::optional<std::string> Store::cameraLabel(const std::string& identity) noexcept {
  if (identity.empty()) return std::nullopt;
  ensureCamera();
  std::optional<std::string> label;
  try {
    query("SELECT label FROM camera WHERE identity=?", {identity},
          [&](const SqlRow& r) { label = r.text(0); });
  } catch (const StoreError& e) {
    noteDropped("cameraLabel", e.message);
    return std::nullopt;
  }
  return label;
}

std::optional<std::string> Store::modelFor(
    const std::string& cam,
    const std::function<std::optional<std::string>(const std::string&)>& displayName) noexcept {
  ensureCamera();
  std::optional<std::string> identity;
  try {
    query("SELECT identity FROM camera WHERE label=? ORDER BY at DESC LIMIT 1", {cam},
          [&](const SqlRow& r) { identity = r.text(0); });
  } catch (const StoreError& e) {
    noteDropped("modelFor", e.message);
    return std::nullopt;
  }
  if (!identity) return std::nullopt;
  std::string code = identity->substr(0, identity->find('#'));
  if (displayName) {
    try {
      if (auto name = displayName(code)) return name;
    } catch (const std::exception& e) {  // the model-name table could not be read: the code stands
      noteDropped("modelFor", e.what());
    }
  }
  return code;
}

std::vector<CameraPair> Store::allCameras() noexcept {
  ensureCamera();
  std::vector<CameraPair> out;
  try {
    query("SELECT identity, label FROM camera ORDER BY label", {}, [&](const SqlRow& r) {
      out.push_back({r.textOr(0), r.textOr(1)});
    });
  } catch (const StoreError& e) {
    noteDropped("allCameras", e.message);
  }
  return out;
}

void Store::importCameras(const std::vector<CameraPair>& pairs) noexcept {
  ensureCamera();
  for (const auto& p : pairs) {
    try {
      query(
          "INSERT INTO camera (identity, label, at) VALUES (?,?,?) "
          "ON CONFLICT(identity) DO UPDATE SET label=excluded.label",
          {p.identity, p.label, isoNow()}, {});
    } catch (const StoreError& e) {
      noteDropped("importCameras", e.message);
    }
  }
}

// ---- move table ----

void Store::ensureMove() noexcept {
  if (!tryExec(kCreateMove)) noteDropped("ensureMove", sqlite3_errmsg(db_));
}

void Store::appendMove(const std::optional<std::string>& model,
                       const std::optional<std::string>& fromClass, const std::string& toClass,
                       const std::string& rel, const std::string& at) noexcept {
  ensureMove();
  try {
    query("INSERT INTO move (model, from_class, to_class, rel, at) VALUES (?,?,?,?,?)",
          {model, fromClass, toClass, rel, at}, {});
  } catch (const StoreError& e) {
    noteDropped("appendMove", e.message);
  }
}

std::vector<Suggestion> Store::suggestions(int threshold) noexcept {
  ensureMove();
  std::vector<Suggestion> out;
  try {
    query(
        "SELECT model, to_class, count(*) FROM move WHERE model IS NOT NULL GROUP BY model, to_class "
        "HAVING count(*) >= ? ORDER BY 3 DESC",
        {threshold}, [&](const SqlRow& r) {
          out.push_back({r.textOr(0), r.textOr(1), static_cast<int>(r.int64(2))});
        });
  } catch (const StoreError& e) {
    noteDropped("suggestions", e.message);
  }
  return out;
}

// ---- search and summary ----

std::vector<Hit> Store::searchWhere(const std::string& where, const std::string& pattern,
                                    const std::string& literal, int limit) noexcept {
  std::vector<Hit> out;
  auto add = [&](const SqlRow& r) { out.push_back(hitOf(r)); };
  const std::string tail = " WHERE " + where + " ORDER BY at DESC LIMIT ?2";
  auto plain = [&] {
    out.clear();
    try {
      query(std::string(kHitColumns) + " FROM copy" + tail, {pattern, limit}, add);
    } catch (const StoreError& e) {
      noteDropped("searchWhere", e.message);
      out.clear();
    }
    return out;
  };
  if (!longEnough(literal) || !sqlite3_get_autocommit(db_)) return plain();
  try {
    // The newest rows first: a common text fills its limit there without the index.
    query(std::string(kHitColumns) + " FROM (SELECT * FROM copy ORDER BY at DESC LIMIT ?3)" + tail,
          {pattern, limit, kRecentRows}, add);
    if (static_cast<int>(out.size()) >= limit) return out;
    out.clear();
  } catch (const StoreError& e) {
    noteDropped("searchWhere", e.message);
    return plain();
  }
  // A search never waits for a build running elsewhere: the rows not indexed yet are read as they
  // are, so the answer is the same either way.
  catchUpSearch(kSearchBatch, /*wait=*/false);
  if (!attached_ || !touched_.empty() || touchedOverflow_) return plain();
  const std::optional<std::string> file = fileIdentity(path_, /*regularOnly=*/false);
  if (!file) return plain();
  const std::string& identity = *file;
  flushing_ = true;
  bool ok = false;
  try {
    // One read transaction: the index, its meta and the rows are read as of one moment.
    exec("BEGIN");
    std::map<std::string, std::string> meta;
    query("SELECT k, v FROM search.meta", {},
          [&](const SqlRow& r) { meta[r.textOr(0)] = r.textOr(1); });
    int64_t indexed = meta.count("rowid") ? std::atoll(meta["rowid"].c_str()) : 0;
    bool valid = meta["db"] == identity && meta.count("at");
    if (valid && indexed > 0) {
      std::optional<std::string> key;
      query("SELECT key FROM copy WHERE rowid=?", {indexed},
            [&](const SqlRow& r) { key = r.text(0); });
      valid = key && *key == meta["anchor"];
    }
    if (valid) {
      std::string phrase = "\"";
      for (char c : literal) phrase += c == '"' ? std::string("\"\"") : std::string(1, c);
      phrase += "\"";
      // Candidates: what the index names, rows added after it, rows recorded again since; the test
      // on the row itself decides.
      query(
          std::string(kHitColumns) +
              " FROM (SELECT rowid AS r FROM search.copy_text WHERE copy_text MATCH ?3"
              " UNION SELECT rowid FROM copy WHERE rowid > ?4 UNION SELECT rowid FROM copy WHERE at >= ?5) AS t"
              " CROSS JOIN copy ON copy.rowid = t.r" +
              tail,
          {pattern, limit, phrase, indexed, meta["at"]}, add);
      ok = true;
    }
    exec("COMMIT");
  } catch (const StoreError& e) {
    noteDropped("searchWhere", e.message);
    rollback();
    ok = false;
  }
  flushing_ = false;
  if (!ok) return plain();
  return out;
}

std::string Store::summary() noexcept {
  ensureCard();
  std::vector<std::string> lines;
  bool first = true;
  for (const auto& s : kSummary) {
    if (!first) lines.emplace_back();
    first = false;
    lines.emplace_back(s.heading);
    try {
      query(s.sql, {}, [&](const SqlRow& r) {
        std::string line;
        for (int c = 0; c < s.columns; ++c) {
          if (c) line += " | ";
          line += r.textOr(c, "-");
        }
        lines.push_back(std::move(line));
      });
    } catch (const StoreError& e) {
      // A table not made yet (no camera labelled) is an empty section; the summary makes none.
      if (e.message.rfind("no such table", 0) != 0) noteDropped("summary", e.message);
    }
  }
  lines.emplace_back();
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) out += '\n';
    out += lines[i];
  }
  return out;
}

}  // namespace tolverdine
