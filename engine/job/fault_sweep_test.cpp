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
#include <span>

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
using Problems = std::vector<std::string>;

constexpr int kCopies = 2;
const NameSet& kNames = NameSet::ko();
const std::string kReports = NameSet::ko().reports;
#if defined(__SANITIZE_ADDRESS__)
constexpr long kDefaultStep = 5;  // a sanitizer build is several times slower
#else
constexpr long kDefaultStep = 1;
#endif

// The sweep runs hundreds of ingests; what a crash loses is FaultFs's to decide, not the disk's,
// so all of it lies on memory file systems, each destination on a drive of its own, and the
// stores count copies there as they would on disks.
struct Workspace : TempDrive {
  Workspace() : TempDrive(memory) {}
  TempDrive drives[3]{TempDrive(memory), TempDrive(memory), TempDrive(memory)};
};

struct MemoryAsDisks final : Drives {
  std::unique_ptr<Drives> real = systemDrives();
  std::string idOf(dev_t dev) override { return real->idOf(dev); }
  bool mounted(const std::string& id) override { return real->mounted(id); }
  std::optional<std::string> mountPointOf(dev_t dev) override { return real->mountPointOf(dev); }
  bool stableInodes(dev_t dev) override { return real->stableInodes(dev); }
  Backing backingOf(const std::string& id) override {
    Backing b = real->backingOf(id);
    b.memory = false;
    return b;
  }
};

struct SweepStore : Store {
  explicit SweepStore(const std::string& path) : Store(path) {
    setDrives(std::make_unique<MemoryAsDisks>());
  }
};

using CardFiles = std::vector<std::pair<const char*, size_t>>;

// Clips of several sizes (one empty), a sidecar and a photo.
const CardFiles kSmallCard = {{"PRIVATE/M4ROOT/CLIP/C0001.MP4", 300 << 10},
                              {"PRIVATE/M4ROOT/CLIP/C0001M01.XML", 1500},
                              {"PRIVATE/M4ROOT/CLIP/C0002.MP4", (1 << 20) + 13},
                              {"PRIVATE/M4ROOT/CLIP/C0003.MP4", 0},
                              {"DCIM/100MSDCF/DSC00001.JPG", 90 << 10}};
// A clip of more than one block, read, written and read back in several pieces, and a photo.
const CardFiles kLargeCard = {{"PRIVATE/M4ROOT/CLIP/C0004.MP4", kBlockSize + 13},
                              {"DCIM/100MSDCF/DSC00002.JPG", 10 << 10}};

struct Card {
  std::string dir;
  std::vector<Row> rows;
  std::vector<std::string> hashes;
  Card(const std::string& d, const CardFiles& files = kSmallCard) : dir(d) {
    for (const auto& [rel, size] : files) {
      rows.push_back(cardRow(dir, rel, size, static_cast<unsigned>(rows.size() + 1)));
      hashes.push_back(*hashFile(rows.back().src));
    }
  }
};

// The card's photo, already under root before the run and unrecorded: it must be compared, never
// replaced, so its inode and bytes must stay.
struct Sentinel {
  std::string path, hash;
  ino_t ino = 0;
  Sentinel(const Card& card, const std::string& root) : path(root + "/" + *card.rows.back().dest) {
    mkdirs(parentPath(path));
    std::filesystem::copy_file(card.rows.back().src, path);
    struct stat st {};
    ::stat(path.c_str(), &st);
    ino = st.st_ino;
    hash = *hashFile(path);
  }
  void check(Problems& out) const {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) out.push_back("removed: " + path);
    else if (st.st_ino != ino) out.push_back("replaced: " + path);
    else if (hashFile(path) != hash) out.push_back("changed: " + path);
  }
};

struct Tally {
  long failed = 0, survived = 0, falseGreens = 0;
  std::vector<std::string> faults;  // the first few, for the message
};

// Runs a step; a refusal before the first copy is allowed where stopOk, any other escape is not.
template <class F> void guarded(F step, Problems& out, bool stopOk = true) {
  try {
    step();
  } catch (const IngestStop& e) {
    if (!stopOk) out.push_back("refused: " + e.description());
  } catch (const std::exception& e) {
    out.push_back(std::string("escaped: ") + e.what());
  }
}

CardJob jobFor(const Card& card, const std::string& root, CardPlan& plan, Fs* fs = nullptr) {
  CardJob job;
  job.card = card.dir;
  job.cam = kCam;
  job.project = "p";
  job.copies = 1;
  job.fs = fs;
  plan.rows = card.rows;
  plan.date = "20250101";
  plan.roots = {root};
  return job;
}

// What the state on disk and in the database shows; adds a line per broken promise.
void audit(const Card& card, const std::vector<std::string>& dests, Store& store, bool green,
           int copies, Problems& out) {
  for (size_t i = 0; i < card.rows.size(); ++i) {
    const Row& r = card.rows[i];
    const std::string key = ingestKey(kCam, r);
    int good = 0;
    for (const auto& root : dests) {
      const std::string path = root + "/" + store.destRel(key, root).value_or(*r.dest);
      const bool there = exists(path);
      const auto onDisk = there ? hashFile(path) : std::nullopt;
      if (there && onDisk != card.hashes[i])
        out.push_back("wrong bytes under the final name: " + path);
      if (auto h = store.verifiedHash(key, root)) {
        if (*h != card.hashes[i]) out.push_back("verified with a wrong hash: " + path);
        else if (onDisk == card.hashes[i]) ++good;
        else if (!there) out.push_back("verified but missing: " + path);
      }
    }
    if (green && good < copies)
      out.push_back("green with " + std::to_string(good) + " good copies of " + r.rel);
  }
}

// Whatever a reader of the folder finds must be whole: every hash list and the chain that names
// them, and the clip lists and job summaries.
void auditOutputs(const std::string& root, Problems& out) {
  const std::string mhl = root + "/" + kMHLFolder;
  int lists = 0;
  for (const auto& n : listFolder(mhl)) {
    std::string text;
    if (!n.ends_with(".mhl")) continue;
    ++lists;
    if (!readFile(mhl + "/" + n, &text) || !text.ends_with("</hashlist>\n"))
      out.push_back("partial hash list: " + n);
  }
  std::string chain;
  if (lists > 0 &&
      (!readFile(mhl + "/" + kMHLChain, &chain) || !chain.ends_with("</ascmhldirectory>\n")))
    out.push_back("hash lists without a whole chain");
  for (size_t at = 0; (at = chain.find("<path>", at)) != std::string::npos; at += 6) {
    const std::string name = chain.substr(at + 6, chain.find("</path>", at) - at - 6);
    if (!exists(mhl + "/" + name)) out.push_back("the chain names a lost hash list: " + name);
  }
  for (const auto& n : listFolder(root + "/" + kReports)) {
    std::string text;
    if (!readFile(root + "/" + kReports + "/" + n, &text)) continue;
    if (n.ends_with("_job.json") && !text.ends_with("}"))
      out.push_back("partial job summary: " + n);
    if (n.ends_with("_clips.csv") && std::count(text.begin(), text.end(), '\n') < 6)
      out.push_back("partial clip list: " + n);
  }
}

// Temporaries and locks left in a folder after a healthy run: none, even where the run before
// crashed in the middle of a whole-file write (the next run clears what a crash left).
void expectNoLeftovers(const std::string& root, Problems& out) {
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    const std::string name = e.path().filename().string();
    if (name.ends_with(".part") || name.find(".tmp-") != std::string::npos ||
        name.starts_with("lock_") || name.starts_with(".tolverdine-probe"))
      out.push_back("left behind: " + e.path().string());
  }
}

struct Mode {
  const char* name;
  FaultPlan plan;  // failAt filled in per run
  VerifyMode verify = VerifyMode::standard;
  long stride = 1;  // every stride-th call fails: a sample where each round moves many megabytes
};

class Sweep {
 public:
  Sweep(const Workspace& ws, const CardFiles& files) : ws_(ws), card_(ws.path + "/card", files) {}
  using Once = long (Sweep::*)(const Mode&, long, Tally*);

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
    Sentinel s(card_, dests[0]);
    SweepStore store(dir + "/db.sqlite");
    FaultPlan plan = planFor(m, failAt, {{"card", card_.dir}, {"drive2", parentPath(dests[1])}});
    if (plan.readPath == "clip") {  // the clip's failAt-th read ends it early
      plan.readPath = plan.under = card_.rows[0].src;
      plan.readAt = failAt;
      plan.failAt = 0;
    }
    FaultFs fs(plan);
    IngestOptions o{.verify = m.verify, .fs = &fs};
    Problems problems;
    bool green = false;
    guarded([&] { green = ingest(dests, store, o); }, problems);
    fs.dropUnsynced();
    if (!t) return fs.counted();

    audit(card_, dests, store, green, kCopies, problems);
    const size_t beforeRerun = problems.size();
    s.check(problems);
    o.fs = nullptr;
    bool again = false;
    guarded([&] { again = ingest(dests, store, o); }, problems, false);
    if (!again) problems.push_back("healthy run not green");
    afterHealthy(dests, store, again, kCopies, s, problems);
    for (const auto& root : dests) std::filesystem::remove_all(parentPath(parentPath(root)));
    return finish(m, failAt, fs, beforeRerun, problems, dir, *t);
  }

  // The primary copied to a second drive under the plan, then again healthily.
  long mirrorOnce(const Mode& m, long failAt, Tally* t) {
    preparePrimary();
    const std::string dir = ws_.path + "/run" + std::to_string(serial_++);
    mkdirs(dir + "/slow");
    const std::string secondary = dir + "/slow/20250101_p";
    Sentinel s(card_, secondary);
    std::filesystem::copy_file(primaryDb_, dir + "/db.sqlite");
    SweepStore store(dir + "/db.sqlite");
    FaultFs fs(planFor(m, failAt, {{"slow", dir + "/slow"}}));
    Problems problems;
    bool complete = false;  // the second copy claims every file
    guarded(
        [&] {
          MirrorResult r = runMirror(primary_, secondary, store, plenty, {}, {}, fs);
          complete = !r.lost && r.failed.empty();
        },
        problems);
    fs.dropUnsynced();
    if (!t) return fs.counted();

    audit(card_, {secondary}, store, complete, 1, problems);
    const size_t beforeRerun = problems.size();
    s.check(problems);
    MirrorResult again = runMirror(primary_, secondary, store, plenty, {});
    for (const auto& f : again.failed)
      problems.push_back("healthy mirror: " + f.rel + ": " + f.why);
    // A file left unverified by a mirror that names no failure is "green with 0 good copies".
    afterHealthy({secondary}, store, again.failed.empty(), 1, s, problems);
    // Every report of the primary is on the secondary whole, never a part of one.
    for (const auto& name : listFolder(primary_ + "/" + kReports)) {
      if (name.starts_with("lock_") || name.find(".tmp-") != std::string::npos) continue;
      std::string want, got;
      readFile(primary_ + "/" + kReports + "/" + name, &want);
      if (!readFile(secondary + "/" + kReports + "/" + name, &got) || got != want)
        problems.push_back("report not whole on the second copy: " + name);
    }
    return finish(m, failAt, fs, beforeRerun, problems, dir, *t);
  }

  // A card's hash list and reports written under the plan onto a freshly verified root, then
  // again healthily.
  long outputsOnce(const Mode& m, long failAt, Tally* t) {
    const std::string dir = ws_.path + "/run" + std::to_string(serial_++);
    mkdirs(dir + "/drive");
    const std::string root = dir + "/drive/20250101_p";
    SweepStore store(dir + "/db.sqlite");
    IngestResult result =
        runIngest(card_.rows, card_.dir, kCam, {root}, kNames, store, 1, {}, plenty, {});
    CardPlan plan;
    CardJob job = jobFor(card_, root, plan);
    // An earlier generation, as an earlier card leaves it: a failed write must not lose it.
    writeCardOutputs(job, plan, result, store, std::nullopt);

    FaultFs fs(planFor(m, failAt, {{"", root}}));
    job.fs = &fs;
    Problems problems;
    guarded([&] { writeCardOutputs(job, plan, result, store, std::nullopt); }, problems, false);
    fs.dropUnsynced();
    if (!t) return fs.counted();
    auditOutputs(root, problems);
    const size_t beforeRerun = problems.size();
    job.fs = nullptr;
    // A run with nothing new to list still leaves a folder whose lists verify.
    for (const auto& p : writeCardOutputs(job, plan, IngestResult{}, store, std::nullopt))
      problems.push_back("outputs of a run with nothing new: " + p);
    if (!verifyMHL(root).clean())
      problems.push_back("hash lists do not verify after a run with nothing new");
    // The card run again, as after a crash: the copies are there, the outputs written anew.
    runIngest(card_.rows, card_.dir, kCam, {root}, kNames, store, 1, {}, plenty, {});
    for (const auto& p : writeCardOutputs(job, plan, result, store, std::nullopt))
      problems.push_back("healthy outputs: " + p);
    auditOutputs(root, problems);
    expectNoLeftovers(root, problems);
    return finish(m, failAt, fs, beforeRerun, problems, dir, *t);
  }

  Tally sweep(const Mode& m, Once once) {
    Tally t;
    const char* s = std::getenv("TOLVERDINE_SWEEP_STEP");
    const long step = std::max(1L, s ? std::atol(s) : kDefaultStep) * m.stride;
    const long calls = (this->*once)(m, 0, nullptr);
    EXPECT_GT(calls, 0) << m.name;
    for (long n = 1; n <= calls; n += step) (this->*once)(m, n, &t);
    std::printf("[ sweep    ] %-22s calls %4ld  failed %4ld  survived %4ld  false greens %ld\n",
                m.name, calls, t.failed, t.survived, t.falseGreens);
    return t;
  }

 private:
  // After the healthy run: its verdict holds, every copy has the card's bytes, what was there
  // before stands, and nothing is left behind.
  void afterHealthy(const std::vector<std::string>& roots, Store& store, bool ok, int copies,
                    const Sentinel& s, Problems& out) {
    audit(card_, roots, store, ok, copies, out);
    for (const auto& root : roots) {
      for (size_t i = 0; i < card_.rows.size(); ++i)
        if (hashFile(root + "/" + *card_.rows[i].dest) != card_.hashes[i])
          out.push_back("after the healthy run: " + root + "/" + *card_.rows[i].dest);
      expectNoLeftovers(root, out);
    }
    s.check(out);
  }

  bool ingest(const std::vector<std::string>& dests, Store& store, const IngestOptions& o) {
    return runIngest(card_.rows, card_.dir, kCam, dests, kNames, store, kCopies, o, plenty, {})
               .color == CardColor::green;
  }

  // The mode's plan failing the failAt-th call, its folder named by a role resolved to a path.
  static FaultPlan planFor(const Mode& m, long failAt,
                           std::initializer_list<std::pair<std::string, std::string>> roles) {
    FaultPlan plan = m.plan;
    plan.failAt = failAt;
    for (const auto& [role, path] : roles)
      if (plan.under == role) plan.under = path;
    return plan;
  }

  long finish(const Mode& m, long n, const FaultFs& fs, size_t beforeRerun,
              const Problems& problems, const std::string& dir, Tally& t) {
    if (fs.fired()) ++t.failed;
    for (size_t i = 0; i < beforeRerun; ++i)
      if (problems[i].starts_with("green with")) ++t.falseGreens;
    if (problems.empty() && fs.fired()) ++t.survived;
    for (const auto& p : problems)
      if (t.faults.size() < 12)
        t.faults.push_back(std::string(m.name) + " #" + std::to_string(n) + ": " + p);
    std::filesystem::remove_all(dir);
    return fs.counted();
  }

  void preparePrimary() {
    if (!primary_.empty()) return;
    mkdirs(ws_.path + "/fast");
    primary_ = ws_.path + "/fast/20250101_p";
    primaryDb_ = ws_.path + "/primary.sqlite";
    SweepStore store(primaryDb_);
    auto r = runIngest(card_.rows, card_.dir, kCam, {primary_}, kNames, store, 1, {}, plenty, {});
    ASSERT_EQ(r.color, CardColor::green);
    const std::string reports = primary_ + "/" + kReports;
    // A report temporary a crash left on the primary is no report for the second copy.
    writeFile(reports + "/A_clips.csv.tmp-1-2-3", "half");
    // The reports the second copy carries over, as the card job leaves them.
    writeFile(reports + "/A_clips.csv", std::string(3000, 'c'));
    writeFile(reports + "/A_job.json", "{\"color\": \"green\"}");
  }

  const Workspace& ws_;
  Card card_;
  long serial_ = 0;
  std::string primary_, primaryDb_;
};

void sweepAll(std::span<const Mode> modes, Sweep::Once once, const CardFiles& card = kSmallCard) {
  Workspace ws;
  ASSERT_FALSE(ws.path.empty());
  Sweep s(ws, card);
  const char* only = std::getenv("TOLVERDINE_SWEEP_ONLY");
  for (const Mode& m : modes) {
    if (only && !std::strstr(m.name, only)) continue;
    const Tally t = s.sweep(m, once);
    EXPECT_GT(t.failed, 0) << m.name;  // a false green is one of the faults below
    std::string all;
    for (const auto& f : t.faults) all += f + "\n";
    EXPECT_TRUE(t.faults.empty()) << all;
  }
}

constexpr unsigned kRW = kFsRead | kFsWrite;

// Three groups of about equal length, so that the test runner can run them side by side.
const Mode kIngestModes[] = {
    {"EIO", {0, EIO, false, false, kRW, ""}},
    {"ENOSPC on writes", {0, ENOSPC, false, false, kFsWrite, ""}},
    {"EINVAL on writes", {0, EINVAL, false, false, kFsWrite, ""}},
    {"ENOENT card reads", {0, ENOENT, false, false, kFsRead, "card"}},
    {"card file ends early", {0, 0, false, false, kFsRead, "", false, "clip"}},
};

TEST(FaultSweep, IngestSurvivesEveryFailedCall) { sweepAll(kIngestModes, &Sweep::ingestOnce); }

const Mode kPulledAndCrashModes[] = {
    {"card pulled", {0, ENOENT, false, true, kRW, "card"}},
    {"destination pulled", {0, ENOENT, false, true, kRW, "drive2"}},
    {"destination full", {0, ENOSPC, false, true, kFsWrite, "drive2"}},
    // The kernel remounts a failing drive read-only: every later write there is refused.
    {"destination read-only", {0, EROFS, false, true, kFsWrite, "drive2"}},
    {"crash", {0, EIO, true, false, kRW, ""}},
};

TEST(FaultSweep, IngestSurvivesEveryFailedCallPulledDrivesAndCrashes) {
  sweepAll(kPulledAndCrashModes, &Sweep::ingestOnce);
}

// Reads that give less than asked, as network file systems do, under every failure.
const Mode kParanoidModes[] = {
    {"EIO paranoid", {0, EIO, false, false, kRW, "", true}, VerifyMode::paranoid},
    {"crash paranoid", {0, EIO, true, false, kRW, "", true}, VerifyMode::paranoid},
};

TEST(FaultSweep, IngestSurvivesEveryFailedCallParanoid) {
  sweepAll(kParanoidModes, &Sweep::ingestOnce);
}

// The large-file path: its reads in pieces, short or ended early, its blocks' writes and flushes.
const Mode kLargeModes[] = {
    {"large short reads EIO", {0, EIO, false, false, kRW, "", true}, VerifyMode::standard, 13},
    {"large short reads crash", {0, EIO, true, false, kRW, "", true}, VerifyMode::standard, 13},
    {"large clip ends early", {0, 0, false, false, kFsRead, "", false, "clip"}},
};

TEST(FaultSweep, ALargeClipSurvivesEveryFailedCall) {
  sweepAll(kLargeModes, &Sweep::ingestOnce, kLargeCard);
}

const Mode kMirrorModes[] = {
    {"mirror EIO", {0, EIO, false, false, kRW, ""}},
    {"mirror ENOSPC", {0, ENOSPC, false, false, kFsWrite, ""}},
    {"mirror EINVAL", {0, EINVAL, false, false, kFsWrite, ""}},
    {"mirror crash", {0, EIO, true, false, kRW, ""}},
    {"mirror target pulled", {0, ENOENT, false, true, kRW, "slow"}},
    {"mirror target read-only", {0, EROFS, false, true, kFsWrite, "slow"}},
};

TEST(FaultSweep, SecondCopySurvivesEveryFailedCall) { sweepAll(kMirrorModes, &Sweep::mirrorOnce); }

const Mode kOutputModes[] = {
    {"outputs EIO", {0, EIO, false, false, kRW, ""}},
    {"outputs ENOSPC", {0, ENOSPC, false, false, kFsWrite, ""}},
    {"outputs crash", {0, EIO, true, false, kRW, ""}},
};

TEST(FaultSweep, HashListsAndReportsStayWhole) { sweepAll(kOutputModes, &Sweep::outputsOnce); }

// The power goes the moment the card is green, its lists and reports written; then again the
// moment its second copy is made: every file, list and report is there, under its final name.
TEST(FaultSweep, PowerCutJustAfterTheVerdictLosesNothing) {
  Workspace ws;
  ASSERT_FALSE(ws.path.empty());
  Card card(ws.path + "/card");
  const std::string root = ws.path + "/fast/20250101_p", second = ws.path + "/slow/20250101_p";
  for (const auto& d : {root, second}) mkdirs(parentPath(d));
  SweepStore store(ws.path + "/db.sqlite");
  Problems problems;
  std::vector<std::string> reports;
  auto check = [&](const std::string& dest) {
    audit(card, {dest}, store, true, 1, problems);
    auditOutputs(dest, problems);
    if (!verifyMHL(dest).clean()) problems.push_back("hash lists do not verify: " + dest);
    for (const auto& n : reports)
      if (!exists(dest + "/" + kReports + "/" + n)) problems.push_back("lost: " + n);
  };
  {
    FaultFs fs;
    IngestResult r =
        runIngest(card.rows, card.dir, kCam, {root}, kNames, store, 1, {.fs = &fs}, plenty, {});
    ASSERT_EQ(r.color, CardColor::green);
    CardPlan plan;
    EXPECT_TRUE(writeCardOutputs(jobFor(card, root, plan, &fs), plan, r, store, {}).empty());
    reports = listFolder(root + "/" + kReports);
    EXPECT_EQ(reports.size(), 3u);
    fs.cutPower();
    check(root);
  }
  FaultFs fs;
  MirrorResult m = mirrorAndList(root, second, store, kNames, plenty, {}, {}, fs);
  EXPECT_TRUE(m.failed.empty() && m.hashList);
  fs.cutPower();
  check(second);
  std::string all;
  for (const auto& p : problems) all += p + "\n";
  EXPECT_TRUE(problems.empty()) << all;
}

}  // namespace
}  // namespace tolverdine
