#include "engine/store/copy_presence.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <map>
#include <set>

#include "engine/base/names.h"
#include "engine/base/text.h"
#include "engine/card/scan.h"
#include "engine/card/twin.h"
#include "engine/copy/copy.h"
#include "engine/copy/ingest.h"
#include "engine/copy/ingest_test_util.h"
#include "engine/store/card_status.h"
#include "engine/store/store.h"
#include "testing/fault_fs.h"

namespace tolverdine {
namespace {

using namespace tolverdine::testing;

constexpr int64_t kSec = 1000000000;

// A file system of stat answers only.
struct FakeDisk {
  std::map<std::string, PathFacts> at;
  void dir(const std::string& p, uint64_t dev, int64_t changedSec) {
    PathFacts f;
    f.dir = true;
    f.dev = dev;
    f.mtimeNs = f.ctimeNs = changedSec * kSec;
    at[p] = f;
  }
  void file(const std::string& p, int64_t size, int64_t mtimeNs) {
    PathFacts f;
    f.regular = true;
    f.size = size;
    f.mtimeNs = f.ctimeNs = mtimeNs;
    at[p] = f;
  }
  StatFn stat() const {
    return [this](const std::string& p) -> std::optional<PathFacts> {
      auto it = at.find(p);
      if (it == at.end()) return std::nullopt;
      return it->second;
    };
  }
};

TEST(CopyPresence, SizeAndTimeOfTheKeyDecide) {
  EXPECT_EQ(keyFacts("A캠|DCIM/a|b.MP4|1234|1700000000123456789")->size, 1234);
  EXPECT_EQ(keyFacts("A캠|DCIM/a|b.MP4|1234|1700000000123456789")->mtimeNs, 1700000000123456789);
  EXPECT_FALSE(keyFacts("A캠|x|12a|5"));
  EXPECT_FALSE(keyFacts("nothing"));

  FakeDisk d;
  const KeyFacts want{100, 1700000000123456789};
  d.file("/r/same", 100, want.mtimeNs);
  d.file("/r/short", 99, want.mtimeNs);
  d.file("/r/touched", 100, want.mtimeNs + 1);
  d.file("/r/fat", 100, 1700000000 * kSec);      // 2 s clock, time rounded down
  d.file("/r/exfat", 100, 1700000000120000000);  // 10 ms clock
  d.file("/r/fatfar", 100, 1699999998 * kSec);   // a whole step away (and more)
  d.dir("/r/folder", 1, 0);
  auto st = d.stat();
  EXPECT_EQ(copyPlace("/r", "same", want, st), CopyPlace::good);
  EXPECT_EQ(copyPlace("/r", "gone", want, st), CopyPlace::missing);
  EXPECT_EQ(copyPlace("/r", "short", want, st), CopyPlace::changed);
  EXPECT_EQ(copyPlace("/r", "touched", want, st), CopyPlace::changed);
  EXPECT_EQ(copyPlace("/r", "fat", want, st), CopyPlace::good);
  EXPECT_EQ(copyPlace("/r", "exfat", want, st), CopyPlace::good);
  EXPECT_EQ(copyPlace("/r", "fatfar", want, st), CopyPlace::changed);
  EXPECT_EQ(copyPlace("/r", "fatfar", {100, 1700000000 * kSec}, st), CopyPlace::changed);
  EXPECT_EQ(copyPlace("/r", "folder", {0, 0}, st), CopyPlace::changed);
  // A card file without a time: its copy kept the time it was written at.
  EXPECT_EQ(copyPlace("/r", "touched", {100, 0}, st), CopyPlace::good);
}

// Mounted drives by device number; an identity is mounted when some device carries it.
struct FakeDrives : Drives {
  std::map<dev_t, std::string> ids;
  std::set<dev_t> unstable;  // FAT, exFAT: inode numbers made up at mount
  std::string idOf(dev_t dev) override { return ids.count(dev) ? ids[dev] : "dev:x"; }
  bool mounted(const std::string& id) override {
    for (const auto& [dev, i] : ids)
      if (i == id) return true;
    return false;
  }
  std::optional<std::string> mountPointOf(dev_t) override { return std::nullopt; }
  bool stableInodes(dev_t dev) override { return !unstable.count(dev); }
};

// What counts is decided by the drive a copy was written to, never by the path naming it.
TEST(CopyPresence, ACopyCountsByItsDriveAndFile) {
  FakeDisk d;
  FakeDrives drives;
  drives.ids = {{2, "uuid:SSD"}, {3, "uuid:OTHER"}, {4, "uuid:EXFAT"}};
  drives.unstable = {4};
  const int64_t t = 1700000000 * kSec;
  auto file = [&](const std::string& p, uint64_t dev, int64_t ino) {
    d.file(p, 5, t);
    d.at[p].dev = dev;
    d.at[p].ino = ino;
  };
  file("/m/ssd/p/x", 2, 10);
  file("/m/moved/p/x", 3, 10);  // another drive mounted where SSD was
  file("/m/exfat/p/x", 4, 99);
  d.at["/m/ssd/p/link"] = d.at["/m/ssd/p/x"];
  d.at["/m/ssd/p/link"].regular = false;  // what lstat says of a symbolic link
  auto st = d.stat();
  const std::string key = "A|x|5|" + std::to_string(t);
  struct Case {
    const char* what;
    RecordedCopy row;
    CopyPlace place;
    std::optional<std::string> countsFor;
  } cases[] = {
      {"on the shelf: no drive with its identity is mounted",
       {key, "/m/gone/p", "x", "", DriveFile{"uuid:SHELF", 1}},
       CopyPlace::good,
       "uuid:SHELF"},
      {"on its drive",
       {key, "/m/ssd/p", "x", "", DriveFile{"uuid:SSD", 10}},
       CopyPlace::good,
       "uuid:SSD"},
      {"its drive is mounted but the file is gone (project folder deleted)",
       {key, "/m/ssdroot/p", "x", "", DriveFile{"uuid:SSD", 10}},
       CopyPlace::missing,
       {}},
      {"the path leads to another drive now",
       {key, "/m/moved/p", "x", "", DriveFile{"uuid:SSD", 10}},
       CopyPlace::missing,
       {}},
      {"another file under its name",
       {key, "/m/ssd/p", "x", "", DriveFile{"uuid:SSD", 11}},
       CopyPlace::changed,
       {}},
      {"exFAT makes inode numbers up at mount",
       {key, "/m/exfat/p", "x", "", DriveFile{"uuid:EXFAT", 5}},
       CopyPlace::good,
       "uuid:EXFAT"},
      {"a symbolic link is no copy",
       {key, "/m/ssd/p", "link", "", DriveFile{"uuid:SSD", 10}},
       CopyPlace::changed,
       {}},
      {"an older row is learnt on its drive",
       {key, "/m/ssd/p", "x", "", std::nullopt},
       CopyPlace::good,
       "uuid:SSD"},
      {"an older row counts only once found",
       {key, "/m/gone/p", "x", "", std::nullopt},
       CopyPlace::missing,
       {}},
  };
  for (const Case& c : cases) {
    CopyJudgement j = judgeCopy(c.row, st, drives);
    EXPECT_EQ(j.place, c.place) << c.what;
    EXPECT_EQ(j.on ? std::optional<std::string>(j.on->drive) : std::nullopt, c.countsFor) << c.what;
  }
}

// A drive that answers stat with an error is here, and a copy it cannot show is no copy.
TEST(CopyPresence, ADriveAnsweringWithErrorsVouchesForNothing) {
  TempDir t;
  const std::string drive = t.path + "/drive", root = drive + "/proj";
  mkdirs(root);
  writeFile(root + "/C1.MP4", "abcd");
  auto drives = systemDrives();
  auto on = driveFileOf(root + "/C1.MP4", *drives);
  ASSERT_TRUE(on);
  const RecordedCopy copy{"A캠|C1.MP4|4|0", root, "C1.MP4", "", on};
  EXPECT_EQ(judgeCopy(copy, realStat(), *drives).place, CopyPlace::good);
  // A link in a copy's place is no copy, whatever it points to.
  writeFile(t.path + "/elsewhere", "wxyz");
  ASSERT_EQ(::symlink((t.path + "/elsewhere").c_str(), (root + "/L.MP4").c_str()), 0);
  const RecordedCopy link{"A캠|L.MP4|4|0", root, "L.MP4", "", std::nullopt};
  EXPECT_EQ(judgeCopy(link, realStat(), *drives).place, CopyPlace::changed);

  // Every look under the drive fails with err, from the first on.
  auto failing = [&](int err) { return FaultPlan{1, err, false, true, kFsRead, drive}; };
  for (int err : {EIO, EACCES, ENOTCONN}) {
    FaultFs fs(failing(err));
    EXPECT_EQ(judgeCopy(copy, realStat(fs), *drives).place, CopyPlace::missing) << err;
    EXPECT_EQ(copyPlace(root, "C1.MP4", {4, 0}, realStat(fs)), CopyPlace::missing) << err;
  }

  // Through the store, as the card's colour counts copies.
  Store s(t.path + "/db.sqlite");
  s.record(copy.key, root, copy.rel, 4, "h", CopyState::verified, 1, {}, {}, on);
  FaultFs fs(failing(EIO));
  s.setCopyJudge([&](const RecordedCopy& c) { return judgeCopy(c, realStat(fs), *drives); });
  EXPECT_EQ(s.verifiedTally(copy.key).counted, 0);
  EXPECT_EQ(s.verifiedTally(copy.key).missing, 1);
  s.setCopyJudge({});
  EXPECT_EQ(s.verifiedCount(copy.key), 1);
}

// Real files: a copy in place counts, a deleted or changed one does not, and the card says why.
TEST(CopyPresence, StoreCountsOnlyCopiesStillThereAndCardStatusSaysWhy) {
  TempDir t;
  TempDrive drive1, drive2;
  Store s(t.path + "/db.sqlite");
  std::vector<CardFile> files{{"C1.MP4", 4, 1700000000 * kSec + 5},
                              {"C2.MP4", 4, 1700000000 * kSec + 6}};
  // A third folder of the first drive holds no third copy.
  const std::string r1 = drive1.path + "/d1/p", r2 = drive2.path + "/d2/p",
                    r3 = drive1.path + "/d3/p";
  for (const auto& root : {r1, r2, r3}) {
    for (const auto& f : files) {
      mkdirs(root);
      writeFile(root + "/" + f.rel, "abcd");
      ASSERT_TRUE(giveCopyTime(root + "/" + f.rel, f.mtimeNs));
      s.record(ingestKey("A캠", f), root, f.rel, 4, "h", CopyState::verified, 1);
    }
  }
  s.recordCard(cardFingerprint(files), "A캠", files, std::nullopt);
  EXPECT_TRUE(cardStatus(files, s, 2, std::nullopt).alreadyBackedUp());
  EXPECT_FALSE(cardStatus(files, s, 3, std::nullopt).alreadyBackedUp());
  EXPECT_EQ(std::get<CardStatus::Known>(cardStatus(files, s, 2, std::nullopt).value).drives, 2);
  // Copies on the card's own drive are erased with it.
  const std::string cardsDrive = *s.verifiedTally(ingestKey("A캠", files[0])).drives.begin();
  EXPECT_EQ(s.verifiedCount(ingestKey("A캠", files[0]), cardsDrive), 1);

  ASSERT_EQ(::unlink((r2 + "/C1.MP4").c_str()), 0);
  ASSERT_EQ(sh("printf Z | dd of='" + r2 + "/C2.MP4' bs=1 seek=1 conv=notrunc status=none"), 0);
  CopyTally one = s.verifiedTally(ingestKey("A캠", files[0]));
  EXPECT_EQ(one.counted, 1);
  EXPECT_EQ(one.missing, 1);
  EXPECT_EQ(s.verifiedCount(ingestKey("A캠", files[1])), 1) << "a byte written changed the time";
  CardStatus st = cardStatus(files, s, 2, std::nullopt);
  EXPECT_FALSE(st.alreadyBackedUp());
  EXPECT_EQ(std::get<CardStatus::Known>(st.value).under, 2);
  EXPECT_EQ(discountNote(st), "사본 2개 제외 — 파일 없음 1 · 바뀜 1");
  EXPECT_EQ(statusText(st), "known(cam: \"A캠\", files: 2, under: 2, added: 0)");
}

struct RunOnDisk {
  TempDir dir;
  TempDrive one, two;
  std::string card = dir.path + "/card", root1 = one.path + "/d1/20250101_p",
              root2 = two.path + "/d2/20250101_p";
  Store store{dir.path + "/db.sqlite"};
  std::vector<Row> rows;
  RunOnDisk() {
    mkdirs(one.path + "/d1");
    mkdirs(two.path + "/d2");
    for (int i = 0; i < 3; ++i)
      rows.push_back(cardRow(card, "CLIP/C000" + std::to_string(i) + ".MP4", 5000 + i, 40 + i));
  }
  IngestResult run(std::vector<std::string> dests) {
    return runIngest(rows, card, kCam, dests, NameSet::ko(), store, 2, {}, plenty, {});
  }
  std::string copy(const std::string& root, int i) { return root + "/" + *rows[i].dest; }
};

int64_t mtimeOf(const std::string& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return int64_t{st.st_mtim.tv_sec} * kSec + st.st_mtim.tv_nsec;
}

TEST(CopyPresence, RerunRecopiesGoneCopiesAdoptsTouchedOnesAndNeverOverwritesChangedOnes) {
  RunOnDisk r;
  ASSERT_EQ(r.run({r.root1, r.root2}).color, CardColor::green);

  // Deleted on a live destination: copied again.
  ASSERT_EQ(::unlink(r.copy(r.root2, 0).c_str()), 0);
  IngestResult again = r.run({r.root1, r.root2});
  EXPECT_EQ(again.color, CardColor::green);
  EXPECT_EQ(again.copied, 1);
  EXPECT_EQ(hashFile(r.copy(r.root2, 0)), hashFile(r.rows[0].src));

  // Only the time changed: the content is compared in place, kept, and given its time back.
  ASSERT_EQ(sh("touch -d '2001-01-01' '" + r.copy(r.root1, 1) + "'"), 0);
  EXPECT_EQ(r.store.verifiedCount(ingestKey(kCam, r.rows[1])), 1);
  IngestResult touched = r.run({r.root1, r.root2});
  EXPECT_EQ(touched.color, CardColor::green);
  EXPECT_EQ(touched.copied, 0);
  EXPECT_EQ(mtimeOf(r.copy(r.root1, 1)), r.rows[1].mtimeNs);
  EXPECT_EQ(r.store.verifiedCount(ingestKey(kCam, r.rows[1])), 2);

  // A byte changed: red with the conflict reason, and the changed file stays as it is.
  ASSERT_EQ(
      sh("printf Z | dd of='" + r.copy(r.root1, 2) + "' bs=1 seek=10 conv=notrunc status=none"), 0);
  auto changed = hashFile(r.copy(r.root1, 2));
  IngestResult red = r.run({r.root1});
  EXPECT_EQ(red.color, CardColor::red);
  ASSERT_EQ(red.failed.size(), 1u);
  EXPECT_EQ(red.failed[0].why, "같은 이름의 다른 파일이 이미 있음 — 덮어쓰지 않음");
  EXPECT_EQ(red.underCopied, 1);
  EXPECT_EQ(hashFile(r.copy(r.root1, 2)), changed);
  EXPECT_EQ(r.run({r.root1, r.root2}).color, CardColor::red);

  // Size and time put back over a changed byte: no run that reads nothing can see it (only
  // reading the copy back, as verify does); the run still never writes over it.
  ASSERT_EQ(
      sh("cp -p '" + r.copy(r.root2, 1) + "' '" + r.dir.path + "/keep' && printf Z | dd of='" +
         r.copy(r.root2, 1) + "' bs=1 seek=10 conv=notrunc status=none && touch -r '" + r.dir.path +
         "/keep' '" + r.copy(r.root2, 1) + "'"),
      0);
  auto hidden = hashFile(r.copy(r.root2, 1));
  ASSERT_NE(hidden, hashFile(r.rows[1].src));
  r.run({r.root1, r.root2});
  EXPECT_EQ(hashFile(r.copy(r.root2, 1)), hidden);
}

TEST(Twin, DecomposedNameOnTheCardIsRead) {
  TempDir t;
  Store s(t.path + "/db.sqlite");
  const std::string nfd =
      "CLIP/\xE1\x84\x8B\xE1\x85\xB5\xE1\x86\xAB\xE1\x84\x90\xE1\x85\xA5.MP4";  // 인터, decomposed
  mkdirs(t.path + "/card/CLIP");
  writePattern(t.path + "/card/" + nfd, 3000, 5);
  CardList list = quickList(t.path + "/card");
  ASSERT_EQ(list.files.size(), 1u);
  ASSERT_EQ(list.files[0].rel, nfc(nfd));
  ASSERT_NE(list.files[0].rel, nfd);
  const std::string key = ingestKey("A캠", list.files[0]);
  s.record(key, t.path + "/d", list.files[0].rel, 3000, *hashFile(t.path + "/card/" + nfd),
           CopyState::verified, 1);
  TwinCheck c = verifyTwin(t.path + "/card", list.files, "A캠", s, 1);
  EXPECT_EQ(c.same, 1);
  EXPECT_TRUE(c.unread.empty());
  EXPECT_TRUE(c.differ.empty());
}

}  // namespace
}  // namespace tolverdine
