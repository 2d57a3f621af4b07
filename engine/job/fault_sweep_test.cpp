// Every file-system call of an ingest, of a second copy and of a card's hash list and reports,
// failed in turn (or a crash acted out there, losing unsynced data and names): whatever breaks, the
// card is never green without its verified copies, no file under its final name has wrong bytes,
// nothing that was there is replaced, hash lists and reports are whole or absent, and a healthy run
// afterwards ends green.
//
// TOLVERDINE_SWEEP_STEP=k fails only every k-th call (5 by default in sanitizer builds);
// TOLVERDINE_SWEEP_ONLY=text runs only the modes whose name holds text.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "engine/base/files.h"
#include "engine/base/names.h"
#include "engine/copy/copy.h"
#include "engine/copy/ingest.h"
#include "engine/copy/ingest_test_util.h"
#include "engine/copy/mirror.h"
#include "engine/hashlist/mhl.h"
#include "engine/hashlist/mhl_folder.h"
#include "engine/hashlist/mhl_verify.h"
#include "engine/job/card_job.h"
#include "engine/store/store.h"
#include "testing/fault_fs.h"

namespace tolverdine {
namespace {

using namespace tolverdine::testing;

constexpr int kCopies = 2;

// The sweep runs hundreds of ingests; what a crash loses is FaultFs's to decide, not the disk's,
// so a memory file system is used where there is one.
struct Workspace {
  std::string path;
  TempDrive drives[3];  // one drive is one copy: each destination on its own
  Workspace() {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmp && *tmp ? tmp : "/tmp";
    std::string tmpl = base + "/tolverdine-sweep-XXXXXX";
    if (::mkdtemp(tmpl.data())) path = tmpl;
  }
  ~Workspace() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

long sweepStep() {
  const char* s = std::getenv("TOLVERDINE_SWEEP_STEP");
#if defined(__SANITIZE_ADDRESS__)
  long k = s ? std::atol(s) : 5;  // a sanitizer build is several times slower
#else
  long k = s ? std::atol(s) : 1;
#endif
  return k > 0 ? k : 1;
}

// Clips of several sizes (one empty), a sidecar and a photo.
struct Card {
  std::string dir;
  std::vector<Row> rows;
  std::vector<std::string> hashes;
  explicit Card(const std::string& d) : dir(d) {
    rows.push_back(cardRow(dir, "PRIVATE/M4ROOT/CLIP/C0001.MP4", 300 << 10, 1));
    rows.push_back(cardRow(dir, "PRIVATE/M4ROOT/CLIP/C0001M01.XML", 1500, 2));
    rows.push_back(cardRow(dir, "PRIVATE/M4ROOT/CLIP/C0002.MP4", (1 << 20) + 13, 3));
    rows.push_back(cardRow(dir, "PRIVATE/M4ROOT/CLIP/C0003.MP4", 0, 4));
    rows.push_back(cardRow(dir, "DCIM/100MSDCF/DSC00001.JPG", 90 << 10, 5));
    for (const Row& r : rows) hashes.push_back(*hashFile(r.src));
  }
};

// A file that was there before the run: its inode and bytes must stay.
struct Sentinel {
  std::string path, hash;
  ino_t ino = 0;
  void take(const std::string& p) {
    path = p;
    struct stat st {};
    ::stat(p.c_str(), &st);
    ino = st.st_ino;
    hash = *hashFile(p);
  }
  std::optional<std::string> broken() const {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "removed: " + path;
    if (st.st_ino != ino) return "replaced: " + path;
    if (hashFile(path) != hash) return "changed: " + path;
    return std::nullopt;
  }
};

struct Tally {
  long failed = 0, survived = 0, falseGreens = 0, runs = 0;
  std::vector<std::string> faults;  // the first few, for the message
  void fault(const std::string& what) {
    if (faults.size() < 12) faults.push_back(what);
  }
};

// What the state on disk and in the database shows; adds a line per broken promise.
void audit(const std::vector<Row>& rows, const std::vector<std::string>& hashes,
           const std::vector<std::string>& dests, Store& store, bool green, int copies,
           const std::string& cam, std::vector<std::string>& out) {
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    int good = 0;
    for (const auto& root : dests) {
      const std::string key = ingestKey(cam, r);
      const std::string rel = store.destRel(key, root).value_or(*r.dest);
      const std::string path = root + "/" + rel;
      const bool there = exists(path);
      const auto onDisk = there ? hashFile(path) : std::nullopt;
      if (there && onDisk != hashes[i]) out.push_back("wrong bytes under the final name: " + path);
      if (auto h = store.verifiedHash(key, root)) {
        if (*h != hashes[i]) out.push_back("verified with a wrong hash: " + path);
        else if (onDisk == hashes[i]) ++good;
        else if (!there) out.push_back("verified but missing: " + path);
      }
    }
    if (green && good < copies)
      out.push_back("green with " + std::to_string(good) + " good copies of " + r.rel);
  }
}

// Whatever a reader of the folder finds must be whole: every hash list and the chain that names
// them, and the clip lists and job summaries.
void auditOutputs(const std::string& root, std::vector<std::string>& out) {
  const std::string mhl = root + "/" + kMHLFolder;
  int lists = 0;
  for (const auto& n : listFolder(mhl)) {
    std::string text;
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".mhl") == 0) {
      ++lists;
      if (!readFile(mhl + "/" + n, &text) || !text.ends_with("</hashlist>\n"))
        out.push_back("partial hash list: " + n);
    }
  }
  std::string chain;
  if (lists > 0 &&
      (!readFile(mhl + "/" + kMHLChain, &chain) || !chain.ends_with("</ascmhldirectory>\n")))
    out.push_back("hash lists without a whole chain");
  for (size_t at = 0; (at = chain.find("<path>", at)) != std::string::npos; at += 6) {
    const size_t end = chain.find("</path>", at);
    const std::string name = chain.substr(at + 6, end - at - 6);
    if (!exists(mhl + "/" + name)) out.push_back("the chain names a lost hash list: " + name);
  }
  const std::string reports = root + "/" + NameSet::ko().reports;
  for (const auto& n : listFolder(reports)) {
    std::string text;
    if (!readFile(reports + "/" + n, &text)) continue;
    if (n.ends_with("_job.json") && !text.ends_with("}"))
      out.push_back("partial job summary: " + n);
    if (n.ends_with("_clips.csv") && std::count(text.begin(), text.end(), '\n') < 6)
      out.push_back("partial clip list: " + n);
  }
}

// Temporaries and locks left in a folder after a healthy run: none, even where the run before
// crashed in the middle of a whole-file write (the next run clears what a crash left).
void expectNoLeftovers(const std::string& root, std::vector<std::string>& out) {
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.ends_with(".part") || name.find(".tmp-") != std::string::npos ||
        name.starts_with("lock_") || name.starts_with(".tolverdine-probe"))
      out.push_back("left behind: " + it->path().string());
  }
}

struct Mode {
  const char* name;
  FaultPlan plan;  // failAt filled in per run
  VerifyMode verify = VerifyMode::standard;
};

class Sweep {
 public:
  explicit Sweep(const Workspace& ws) : ws_(ws), card_(ws.path + "/card") {}

  // One ingest under the plan, then a healthy one; returns the counted calls of the first.
  long ingestOnce(const Mode& m, long failAt, Tally* t) {
    const std::string run = "/run" + std::to_string(serial_++), dir = ws_.path + run;
    mkdirs(dir);
    std::vector<std::string> dests;
    for (int d = 1; d <= 3; ++d) {
      const std::string drive = ws_.drives[d - 1].path + run + "/drive" + std::to_string(d);
      mkdirs(drive);
      dests.push_back(drive + "/20250101_p");
    }
    // The photo is already on the first drive, unrecorded: it must be compared, not replaced.
    const Row& photo = card_.rows.back();
    const std::string kept = dests[0] + "/" + *photo.dest;
    mkdirs(parentPath(kept));
    std::filesystem::copy_file(photo.src, kept);
    Sentinel s;
    s.take(kept);

    Store store(dir + "/db.sqlite");
    FaultPlan plan = m.plan;
    plan.failAt = failAt;
    if (plan.under == "card") plan.under = card_.dir;
    if (plan.under == "drive2") plan.under = parentPath(dests[1]);
    if (plan.readPath == "clip") {  // the clip's failAt-th read ends it early
      plan.readPath = plan.under = card_.rows[0].src;
      plan.readAt = failAt;
      plan.failAt = 0;
    }
    FaultFs fs(plan);
    IngestOptions o;
    o.verify = m.verify;
    o.fs = &fs;
    std::vector<std::string> problems;
    bool green = false;
    try {
      green = runIngest(card_.rows, card_.dir, kCam, dests, NameSet::ko(), store, kCopies, o,
                        plenty, {})
                  .color == CardColor::green;
    } catch (const IngestStop&) {
      // Refused before the first copy: allowed, the audit still looks.
    } catch (const std::exception& e) {
      problems.push_back(std::string("escaped: ") + e.what());
    }
    fs.dropUnsynced();
    if (!t) return fs.counted();

    audit(card_.rows, card_.hashes, dests, store, green, kCopies, kCam, problems);
    const size_t beforeRerun = problems.size();
    if (auto b = s.broken()) problems.push_back(*b);

    o.fs = nullptr;
    bool again = false;
    try {
      again = runIngest(card_.rows, card_.dir, kCam, dests, NameSet::ko(), store, kCopies, o,
                        plenty, {})
                  .color == CardColor::green;
    } catch (const IngestStop& e) {
      problems.push_back("healthy run refused: " + e.description());
    }
    if (!again) problems.push_back("healthy run not green");
    audit(card_.rows, card_.hashes, dests, store, again, kCopies, kCam, problems);
    for (size_t i = 0; i < card_.rows.size(); ++i)
      for (const auto& root : dests)
        if (hashFile(root + "/" + *card_.rows[i].dest) != card_.hashes[i])
          problems.push_back("after the healthy run: " + root + "/" + *card_.rows[i].dest);
    if (auto b = s.broken()) problems.push_back(*b);
    for (const auto& root : dests) expectNoLeftovers(root, problems);

    tallyRun(m.name, failAt, fs.fired(), beforeRerun, problems, *t);
    std::filesystem::remove_all(dir);
    for (const auto& root : dests) std::filesystem::remove_all(parentPath(parentPath(root)));
    return fs.counted();
  }

  // The primary copied to a second drive under the plan, then again healthily.
  long mirrorOnce(const Mode& m, long failAt, Tally* t) {
    preparePrimary();
    const std::string dir = ws_.path + "/run" + std::to_string(serial_++);
    mkdirs(dir + "/slow");
    const std::string secondary = dir + "/slow/20250101_p";
    const Row& photo = card_.rows.back();
    const std::string kept = secondary + "/" + *photo.dest;
    mkdirs(parentPath(kept));
    std::filesystem::copy_file(photo.src, kept);
    Sentinel s;
    s.take(kept);
    std::filesystem::copy_file(primaryDb_, dir + "/db.sqlite");
    Store store(dir + "/db.sqlite");

    FaultPlan plan = m.plan;
    plan.failAt = failAt;
    if (plan.under == "slow") plan.under = dir + "/slow";
    FaultFs fs(plan);
    std::vector<std::string> problems;
    bool complete = false;  // the second copy claims every file
    try {
      MirrorResult r = runMirror(primary_, secondary, store, plenty, {}, {}, fs);
      complete = !r.lost && r.failed.empty();
    } catch (const IngestStop&) {
    } catch (const std::exception& e) {
      problems.push_back(std::string("escaped: ") + e.what());
    }
    fs.dropUnsynced();
    if (!t) return fs.counted();

    audit(card_.rows, card_.hashes, {secondary}, store, complete, 1, kCam, problems);
    const size_t beforeRerun = problems.size();
    if (auto b = s.broken()) problems.push_back(*b);

    MirrorResult again = runMirror(primary_, secondary, store, plenty, {});
    for (const auto& f : again.failed)
      problems.push_back("healthy mirror: " + f.rel + ": " + f.why);
    audit(card_.rows, card_.hashes, {secondary}, store, again.failed.empty(), 1, kCam, problems);
    for (size_t i = 0; i < card_.rows.size(); ++i) {
      const std::string key = ingestKey(kCam, card_.rows[i]);
      if (!store.verifiedHash(key, secondary))
        problems.push_back("not verified after the healthy mirror: " + card_.rows[i].rel);
      if (hashFile(secondary + "/" + *card_.rows[i].dest) != card_.hashes[i])
        problems.push_back("after the healthy mirror: " + *card_.rows[i].dest);
    }
    if (auto b = s.broken()) problems.push_back(*b);
    // Every report of the primary is on the secondary whole, never a part of one.
    for (const auto& name : listFolder(primary_ + "/" + NameSet::ko().reports)) {
      if (name.rfind("lock_", 0) == 0 || name.find(".tmp-") != std::string::npos) continue;
      std::string want, got;
      readFile(primary_ + "/" + NameSet::ko().reports + "/" + name, &want);
      if (!readFile(secondary + "/" + NameSet::ko().reports + "/" + name, &got) || got != want)
        problems.push_back("report not whole on the second copy: " + name);
    }
    expectNoLeftovers(secondary, problems);

    tallyRun(m.name, failAt, fs.fired(), beforeRerun, problems, *t);
    std::filesystem::remove_all(dir);
    return fs.counted();
  }

  // A card's hash list and reports written under the plan onto a freshly verified root, then
  // again healthily.
  long outputsOnce(const Mode& m, long failAt, Tally* t) {
    const std::string dir = ws_.path + "/run" + std::to_string(serial_++);
    mkdirs(dir + "/drive");
    const std::string root = dir + "/drive/20250101_p";
    Store store(dir + "/db.sqlite");
    IngestResult result =
        runIngest(card_.rows, card_.dir, kCam, {root}, NameSet::ko(), store, 1, {}, plenty, {});
    CardJob job;
    job.card = card_.dir;
    job.cam = kCam;
    job.project = "p";
    job.copies = 1;
    CardPlan plan;
    plan.rows = card_.rows;
    plan.date = "20250101";
    plan.roots = {root};
    // An earlier generation, as an earlier card leaves it: a failed write must not lose it.
    writeCardOutputs(job, plan, result, store, std::nullopt);

    FaultPlan fp = m.plan;
    fp.failAt = failAt;
    fp.under = root;
    FaultFs fs(fp);
    job.fs = &fs;
    std::vector<std::string> problems;
    try {
      writeCardOutputs(job, plan, result, store, std::nullopt);
    } catch (const std::exception& e) {
      problems.push_back(std::string("escaped: ") + e.what());
    }
    fs.dropUnsynced();
    if (!t) return fs.counted();
    auditOutputs(root, problems);
    const size_t beforeRerun = problems.size();
    job.fs = nullptr;
    // A run with nothing new to list still leaves a folder whose lists verify.
    for (const auto& p : writeCardOutputs(job, plan, IngestResult{}, store, std::nullopt))
      problems.push_back("outputs of a run with nothing new: " + p);
    MHLVerifyReport v = verifyMHL(root);
    bool chainOk = v.unreadable.empty();
    for (const auto& c : v.chain) chainOk = chainOk && c.state == ChainState::ok;
    if (!chainOk) problems.push_back("hash lists do not verify after a run with nothing new");
    // The card run again, as after a crash: the copies are there, the outputs written anew.
    runIngest(card_.rows, card_.dir, kCam, {root}, NameSet::ko(), store, 1, {}, plenty, {});
    for (const auto& p : writeCardOutputs(job, plan, result, store, std::nullopt))
      problems.push_back("healthy outputs: " + p);
    auditOutputs(root, problems);
    expectNoLeftovers(root, problems);
    tallyRun(m.name, failAt, fs.fired(), beforeRerun, problems, *t);
    std::filesystem::remove_all(dir);
    return fs.counted();
  }

  template <class Once> Tally sweep(const Mode& m, Once once) {
    Tally t;
    const char* only = std::getenv("TOLVERDINE_SWEEP_ONLY");
    if (only && !std::strstr(m.name, only)) {
      t.failed = 1;  // not asked for: counts as clean
      return t;
    }
    const long calls = (this->*once)(m, 0, nullptr);
    EXPECT_GT(calls, 0) << m.name;
    for (long n = 1; n <= calls; n += sweepStep()) (this->*once)(m, n, &t);
    std::printf("[ sweep    ] %-22s calls %4ld  failed %4ld  survived %4ld  false greens %ld\n",
                m.name, calls, t.failed, t.survived, t.falseGreens);
    return t;
  }

 private:
  void tallyRun(const char* mode, long n, bool fired, size_t beforeRerun,
                const std::vector<std::string>& problems, Tally& t) {
    ++t.runs;
    if (fired) ++t.failed;
    for (size_t i = 0; i < beforeRerun; ++i)
      if (problems[i].rfind("green with", 0) == 0) ++t.falseGreens;
    if (problems.empty()) {
      if (fired) ++t.survived;
      return;
    }
    for (const auto& p : problems) t.fault(std::string(mode) + " #" + std::to_string(n) + ": " + p);
  }

  void preparePrimary() {
    if (!primary_.empty()) return;
    mkdirs(ws_.path + "/fast");
    primary_ = ws_.path + "/fast/20250101_p";
    primaryDb_ = ws_.path + "/primary.sqlite";
    Store store(primaryDb_);
    auto r =
        runIngest(card_.rows, card_.dir, kCam, {primary_}, NameSet::ko(), store, 1, {}, plenty, {});
    ASSERT_EQ(r.color, CardColor::green);
    // A report temporary a crash left on the primary is no report for the second copy.
    writeFile(primary_ + "/" + NameSet::ko().reports + "/A_clips.csv.tmp-1-2-3", "half");
    // The reports the second copy carries over, as the card job leaves them.
    writeFile(primary_ + "/" + NameSet::ko().reports + "/A_clips.csv", std::string(3000, 'c'));
    writeFile(primary_ + "/" + NameSet::ko().reports + "/A_job.json", "{\"color\": \"green\"}");
  }

  const Workspace& ws_;
  Card card_;
  long serial_ = 0;
  std::string primary_, primaryDb_;
};

void expectClean(const Tally& t, const char* name) {
  EXPECT_EQ(t.falseGreens, 0) << name;
  EXPECT_GT(t.failed, 0) << name;
  std::string all;
  for (const auto& f : t.faults) all += f + "\n";
  EXPECT_TRUE(t.faults.empty()) << all;
}

const Mode kIngestModes[] = {
    {"EIO", {0, EIO, false, false, kFsRead | kFsWrite, ""}},
    {"ENOSPC on writes", {0, ENOSPC, false, false, kFsWrite, ""}},
    {"EINVAL on writes", {0, EINVAL, false, false, kFsWrite, ""}},
    {"ENOENT card reads", {0, ENOENT, false, false, kFsRead, "card"}},
    {"card pulled", {0, ENOENT, false, true, kFsRead | kFsWrite, "card"}},
    {"destination pulled", {0, ENOENT, false, true, kFsRead | kFsWrite, "drive2"}},
    {"destination full", {0, ENOSPC, false, true, kFsWrite, "drive2"}},
    // The kernel remounts a failing drive read-only: every later write there is refused.
    {"destination read-only", {0, EROFS, false, true, kFsWrite, "drive2"}},
    {"crash", {0, EIO, true, false, kFsRead | kFsWrite, ""}},
    // Reads that give less than asked, as network file systems do, under every failure.
    {"EIO paranoid", {0, EIO, false, false, kFsRead | kFsWrite, "", true}, VerifyMode::paranoid},
    {"crash paranoid", {0, EIO, true, false, kFsRead | kFsWrite, "", true}, VerifyMode::paranoid},
    {"card file ends early", {0, 0, false, false, kFsRead, "", false, "clip"}},
};

TEST(FaultSweep, IngestSurvivesEveryFailedCall) {
  Workspace ws;
  ASSERT_FALSE(ws.path.empty());
  Sweep s(ws);
  for (const Mode& m : kIngestModes) expectClean(s.sweep(m, &Sweep::ingestOnce), m.name);
}

const Mode kMirrorModes[] = {
    {"mirror EIO", {0, EIO, false, false, kFsRead | kFsWrite, ""}},
    {"mirror ENOSPC", {0, ENOSPC, false, false, kFsWrite, ""}},
    {"mirror EINVAL", {0, EINVAL, false, false, kFsWrite, ""}},
    {"mirror crash", {0, EIO, true, false, kFsRead | kFsWrite, ""}},
    {"mirror target pulled", {0, ENOENT, false, true, kFsRead | kFsWrite, "slow"}},
    {"mirror target read-only", {0, EROFS, false, true, kFsWrite, "slow"}},
};

TEST(FaultSweep, SecondCopySurvivesEveryFailedCall) {
  Workspace ws;
  ASSERT_FALSE(ws.path.empty());
  Sweep s(ws);
  for (const Mode& m : kMirrorModes) expectClean(s.sweep(m, &Sweep::mirrorOnce), m.name);
}

const Mode kOutputModes[] = {
    {"outputs EIO", {0, EIO, false, false, kFsRead | kFsWrite, ""}},
    {"outputs ENOSPC", {0, ENOSPC, false, false, kFsWrite, ""}},
    {"outputs crash", {0, EIO, true, false, kFsRead | kFsWrite, ""}},
};

TEST(FaultSweep, HashListsAndReportsStayWhole) {
  Workspace ws;
  ASSERT_FALSE(ws.path.empty());
  Sweep s(ws);
  for (const Mode& m : kOutputModes) expectClean(s.sweep(m, &Sweep::outputsOnce), m.name);
}

// The power goes the moment the card is green, its lists and reports written; then again the
// moment its second copy is made: every file, list and report is there, under its final name.
TEST(FaultSweep, PowerCutJustAfterTheVerdictLosesNothing) {
  Workspace ws;
  ASSERT_FALSE(ws.path.empty());
  Card card(ws.path + "/card");
  const std::string root = ws.path + "/fast/20250101_p", second = ws.path + "/slow/20250101_p";
  mkdirs(parentPath(root));
  mkdirs(parentPath(second));
  Store store(ws.path + "/db.sqlite");
  std::vector<std::string> problems, reports;
  auto check = [&](const std::string& dest) {
    audit(card.rows, card.hashes, {dest}, store, true, 1, kCam, problems);
    auditOutputs(dest, problems);
    if (!verifyMHL(dest).clean()) problems.push_back("hash lists do not verify: " + dest);
    for (const auto& n : reports)
      if (!exists(dest + "/" + NameSet::ko().reports + "/" + n)) problems.push_back("lost: " + n);
  };
  {
    FaultFs fs;
    IngestOptions o;
    o.fs = &fs;
    IngestResult r =
        runIngest(card.rows, card.dir, kCam, {root}, NameSet::ko(), store, 1, o, plenty, {});
    ASSERT_EQ(r.color, CardColor::green);
    CardJob job;
    job.card = card.dir;
    job.cam = kCam;
    job.project = "p";
    job.copies = 1;
    job.fs = &fs;
    CardPlan plan;
    plan.rows = card.rows;
    plan.date = "20250101";
    plan.roots = {root};
    EXPECT_TRUE(writeCardOutputs(job, plan, r, store, std::nullopt).empty());
    reports = listFolder(root + "/" + NameSet::ko().reports);
    EXPECT_EQ(reports.size(), 3u);
    fs.cutPower();
    check(root);
  }
  FaultFs fs;
  MirrorResult m = mirrorAndList(root, second, store, NameSet::ko(), plenty, {}, {}, fs);
  EXPECT_TRUE(m.failed.empty() && m.hashList);
  fs.cutPower();
  check(second);
  std::string all;
  for (const auto& p : problems) all += p + "\n";
  EXPECT_TRUE(problems.empty()) << all;
}

}  // namespace
}  // namespace tolverdine
