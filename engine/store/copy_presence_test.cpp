#include "engine/store/copy_presence.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
#include "testing/store_access.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

using namespace tolverdine::testing;

constexpr int64_t kSec = 1000000000;

// A file system of stat answers only.
struct FakeDisk {
  std::map<std::string, PathFacts> at;
  void file(const std::string& p, int64_t size, int64_t mtimeNs, dev_t dev = 0, ino_t ino = 0) {
    PathFacts& f = at[p];
    f.regular = true, f.size = size, f.mtimeNs = f.ctimeNs = mtimeNs, f.dev = dev, f.ino = ino;
  }
  StatFn stat() const {
    return [this](const std::string& p) {
      return at.count(p) ? std::optional(at.at(p)) : std::nullopt;
    };
  }
};

TEST(CopyPresence, SizeAndTimeOfTheKeyDecide) {
  auto facts = keyFacts("A캠|DCIM/a|b.MP4|1234|1700000000123456789");
  EXPECT_EQ(std::pair(facts->size, facts->mtimeNs), std::pair(int64_t{1234}, 1700000000123456789));
  EXPECT_FALSE(keyFacts("A캠|x|12a|5"));

  FakeDisk d;
  const int64_t t = 1700000000123456789;
  d.file("/r/same", 100, t);
  d.file("/r/short", 99, t);
  d.file("/r/touched", 100, t + 1);
  d.file("/r/fat", 100, 1700000000 * kSec);     // 2 s clock, time rounded down
  d.file("/r/fatfar", 100, 1699999998 * kSec);  // a whole step away
  d.at["/r/folder"].dir = true;
  struct Case {
    const char* rel;
    KeyFacts want;
    CopyPlace place;
  } cases[] = {
      {"same", {100, t}, CopyPlace::good},
      {"gone", {100, t}, CopyPlace::missing},
      {"short", {100, t}, CopyPlace::changed},
      {"touched", {100, t}, CopyPlace::changed},
      {"fat", {100, t}, CopyPlace::good},
      {"fatfar", {100, t}, CopyPlace::changed},
      {"fat", {100, 1700000002 * kSec}, CopyPlace::changed},
      {"folder", {0, 0}, CopyPlace::changed},
      {"touched", {100, 0}, CopyPlace::good},  // a card file without a time: the copy kept its own
  };
  for (const Case& c : cases) EXPECT_EQ(copyPlace("/r", c.rel, c.want, d.stat()), c.place) << c.rel;
}

// Mounted drives by device number; an identity is mounted when some device carries it.
struct FakeDrives : Drives {
  std::map<dev_t, std::string> ids;
  std::set<dev_t> unstable;  // FAT, exFAT: inode numbers made up at mount
  std::map<std::string, Backing> backings;
  std::string idOf(dev_t dev) override { return ids.count(dev) ? ids[dev] : "dev:x"; }
  Backing backingOf(const std::string& id) override {
    return backings.count(id) ? backings[id] : Backing{};
  }
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
  for (auto [p, dev, ino] : {std::tuple{"/m/ssd/p/x", 2, 10},
                             {"/m/moved/p/x", 3, 10},
                             {"/m/exfat/p/x", 4, 99},
                             {"/m/ssd/p/link", 2, 10}})
    d.file(p, 5, t, dev, ino);
  d.at["/m/ssd/p/link"].regular = false;  // what lstat says of a symbolic link
  const std::string key = "A|x|5|" + std::to_string(t);
  struct Case {
    const char *dest, *rel;
    std::optional<DriveFile> on;
    CopyPlace place;
    std::optional<std::string> countsFor;
    const char* what;
  } cases[] = {
      {"/m/gone/p", "x", DriveFile{"uuid:SHELF", 1}, CopyPlace::good, "uuid:SHELF", "on the shelf"},
      {"/m/ssd/p", "x", DriveFile{"uuid:SSD", 10}, CopyPlace::good, "uuid:SSD", "on its drive"},
      {"/m/ssdroot/p", "x", DriveFile{"uuid:SSD", 10}, CopyPlace::missing, {}, "folder deleted"},
      {"/m/moved/p", "x", DriveFile{"uuid:SSD", 10}, CopyPlace::missing, {}, "another drive now"},
      {"/m/ssd/p", "x", DriveFile{"uuid:SSD", 11}, CopyPlace::changed, {}, "another file"},
      {"/m/exfat/p", "x", DriveFile{"uuid:EXFAT", 5}, CopyPlace::good, "uuid:EXFAT", "exFAT inode"},
      {"/m/ssd/p", "link", DriveFile{"uuid:SSD", 10}, CopyPlace::changed, {}, "a link is no copy"},
      {"/m/ssd/p", "x", {}, CopyPlace::good, "uuid:SSD", "an older row is learnt on its drive"},
      {"/m/gone/p", "x", {}, CopyPlace::missing, {}, "an older row counts only once found"},
  };
  for (const Case& c : cases) {
    CopyJudgement j = judgeCopy({key, c.dest, c.rel, "", c.on}, d.stat(), drives);
    EXPECT_EQ(j.place, c.place) << c.what;
    EXPECT_EQ(j.on ? std::optional<std::string>(j.on->drive) : std::nullopt, c.countsFor) << c.what;
  }
}

// Copies are apart only on separate disks that keep them through a power cut.
TEST(CopyPresence, CopiesCountOncePerDiskAndNeverInMemory) {
  FakeDrives drives;
  drives.backings = {
      {"uuid:P1", {{"sdb"}}},   {"uuid:P2", {{"sdb"}}},    {"uuid:RAID", {{"sdc", "sdd"}}},
      {"uuid:D", {{"sdd"}}},    {"uuid:E", {{"sde"}}},     {"uuid:LOOPRAM", {{"loop3"}, true}},
      {"uuid:CARD", {{"sdf"}}}, {"uuid:CARD2", {{"sdf"}}}, {"memory:dev:0:40:1f", {{}, true}}};
  auto apart = [&](std::set<std::string> ids, std::optional<std::string> card = std::nullopt) {
    auto v = drivesApart(ids, card, drives);
    return std::set<std::string>(v.begin(), v.end());
  };
  using S = std::set<std::string>;
  EXPECT_EQ(apart({"uuid:P1", "uuid:P2"}), S{"disk:sdb"}) << "two partitions of one disk";
  EXPECT_EQ(apart({"uuid:P1", "uuid:E"}), (S{"disk:sdb", "disk:sde"}));
  // D shares sdd with the RAID, E with nobody; a drive on the shelf has no known disk.
  EXPECT_EQ(apart({"uuid:D", "uuid:E", "uuid:RAID", "uuid:SHELF"}),
            (S{"disk:sdc", "disk:sde", "uuid:SHELF"}));
  EXPECT_EQ(apart({"memory:dev:0:40:1f", "uuid:LOOPRAM", "uuid:E"}), S{"disk:sde"});
  EXPECT_EQ(apart({"uuid:CARD", "uuid:CARD2", "uuid:E"}, "uuid:CARD"), S{"disk:sde"})
      << "another volume of the card's disk";
  EXPECT_EQ(apart({"uuid:SHELF", "uuid:E"}, "uuid:SHELF"), S{"disk:sde"})
      << "the card, disk unknown";
}

// A drive that answers stat with an error is here, and a copy it cannot show is no copy.
TEST(CopyPresence, ADriveAnsweringWithErrorsVouchesForNothing) {
  TempDir t;
  const std::string drive = t.path + "/drive", root = drive + "/proj";
  mkdirs(root);
  writePattern(root + "/C1.MP4", 4, 1);
  auto drives = systemDrives();
  const RecordedCopy copy{"A캠|C1.MP4|4|0", root, "C1.MP4", "",
                          driveFileOf(root + "/C1.MP4", *drives)};
  ASSERT_TRUE(copy.on);
  EXPECT_EQ(judgeCopy(copy, realStat(), *drives).place, CopyPlace::good);
  ASSERT_EQ(::symlink("C1.MP4", (root + "/link.MP4").c_str()), 0);
  EXPECT_EQ(copyPlace(root, "link.MP4", {4, 0}, realStat()), CopyPlace::changed) << "a link";
  for (int err : {EIO, EACCES, ENOTCONN}) {  // every look under the drive fails, from the first on
    FaultFs fs(FaultPlan{1, err, false, true, kFsRead, drive});
    EXPECT_EQ(judgeCopy(copy, realStat(fs), *drives).place, CopyPlace::missing) << err;
    EXPECT_EQ(copyPlace(root, "C1.MP4", {4, 0}, realStat(fs)), CopyPlace::missing) << err;
  }
}

// Real files: a copy in place counts, a deleted or changed one does not, and the card says why.
TEST(CopyPresence, StoreCountsOnlyCopiesStillThereAndCardStatusSaysWhy) {
  TempDir t;
  TempDrive drive1, drive2;
  Store s(t.path + "/db.sqlite");
  std::vector<CardFile> files{{"C1.MP4", 4, 1700000000 * kSec + 5},
                              {"C2.MP4", 4, 1700000000 * kSec + 6}};
  // A third folder of the first drive holds no third copy.
  const std::string r1 = drive1.path + "/d1/p", r2 = drive2.path + "/d2/p";
  for (const auto& root : {r1, r2, drive1.path + "/d3/p"})
    for (const auto& f : files) {
      mkdirs(root);
      writeFile(root + "/" + f.rel, "abcd");
      ASSERT_TRUE(giveCopyTime(root + "/" + f.rel, f.mtimeNs));
      s.record(ingestKey("A캠", f), root, f.rel, 4, "h", CopyState::verified, 1);
    }
  s.recordCard(cardFingerprint(files), "A캠", files, std::nullopt);
  const std::string k0 = ingestKey("A캠", files[0]), k1 = ingestKey("A캠", files[1]);
  EXPECT_EQ(std::get<CardStatus::Known>(cardStatus(files, s, 2, std::nullopt).value).drives, 2);
  EXPECT_TRUE(cardStatus(files, s, 2, std::nullopt).alreadyBackedUp());
  EXPECT_FALSE(cardStatus(files, s, 3, std::nullopt).alreadyBackedUp());
  // Copies on the card's own drive are erased with it.
  EXPECT_EQ(s.verifiedCount(k0, driveFileOf(r1 + "/C1.MP4", s.drives())->drive), 1);

  ASSERT_EQ(::unlink((r2 + "/C1.MP4").c_str()), 0);
  ASSERT_EQ(sh("printf Z | dd of='" + r2 + "/C2.MP4' bs=1 seek=1 conv=notrunc status=none"), 0);
  EXPECT_EQ(std::pair(s.verifiedTally(k0).counted, s.verifiedTally(k0).missing), std::pair(1, 1));
  EXPECT_EQ(s.verifiedCount(k1), 1) << "a byte written changed the time";
  CardStatus st = cardStatus(files, s, 2, std::nullopt);
  EXPECT_EQ(discountNote(st), "사본 2개 제외 — 파일 없음 1 · 바뀜 1");
  EXPECT_EQ(statusText(st), "known(cam: \"A캠\", files: 2, under: 2, added: 0)");
}

TEST(CopyPresence, RerunAdoptsTouchedCopiesAndNeverOverwritesHiddenChanges) {
  IngestRig c;
  c.addClips(2, 5000);
  const Row& row = c.rows[1];
  const std::string touched = c.at(c.root1, row), poked = c.at(c.root2, row);
  auto run = [&] { return c.run({.dests = {c.root1, c.root2}, .copies = 2}); };
  ASSERT_EQ(run().color, CardColor::green);

  // Only the time changed: the content is compared in place, kept, and given its time back.
  ASSERT_EQ(sh("touch -d '2001-01-01' '" + touched + "'"), 0);
  EXPECT_EQ(c.store.verifiedCount(ingestKey(kCam, row)), 1);
  IngestResult again = run();
  EXPECT_EQ(std::tuple(again.color, again.copied), std::tuple(CardColor::green, 0));
  struct stat st {};
  ::stat(touched.c_str(), &st);
  EXPECT_EQ(int64_t{st.st_mtim.tv_sec} * kSec + st.st_mtim.tv_nsec, row.mtimeNs);
  EXPECT_EQ(c.store.verifiedCount(ingestKey(kCam, row)), 2);

  // Size and time put back over a changed byte: no run that reads nothing can see it (only
  // reading the copy back, as verify does); the run still never writes over it.
  const std::string keep = c.dir.path + "/keep";
  ASSERT_EQ(
      sh("cp -p '" + poked + "' '" + keep + "' && printf Z | dd of='" + poked +
         "' bs=1 seek=10 conv=notrunc status=none && touch -r '" + keep + "' '" + poked + "'"),
      0);
  auto hidden = hashFile(poked);
  ASSERT_NE(hidden, hashFile(row.src));
  run();
  EXPECT_EQ(hashFile(poked), hidden);
}

// The second card is compared by hash with the recorded copies (its file names read composed),
// and a copy on the card's own drive does not make it a safe second copy.
TEST(Twin, HashesDecideAndCopiesOnTheCardsDriveDoNotCount) {
  TempDir t;
  TempDrive card;  // a drive of its own, as a card is
  Store s(t.path + "/db.sqlite");
  const std::string nfd =
      "CLIP/\xE1\x84\x8B\xE1\x85\xB5\xE1\x86\xAB\xE1\x84\x90\xE1\x85\xA5.MP4";  // 인터, decomposed
  mkdirs(card.path + "/CLIP");
  writePattern(card.path + "/" + nfd, 3000, 5);
  writePattern(card.path + "/CLIP/B.MP4", 100, 6);
  CardList list = quickList(card.path);
  ASSERT_EQ(list.files.size(), 2u);
  const CardFile& same = list.files[1];
  ASSERT_EQ(same.rel, nfc(nfd));
  // Its one copy is a real file, but on the card's own drive.
  const std::string copy = card.path + "/d/" + same.rel;
  mkdirs(parentPath(copy));
  writePattern(copy, 3000, 5);
  ASSERT_TRUE(giveCopyTime(copy, same.mtimeNs));
  s.record(ingestKey("A캠", same), card.path + "/d", same.rel, 3000, *hashFile(copy),
           CopyState::verified, 1);
  s.record(ingestKey("A캠", list.files[0]), card.path + "/d", "CLIP/B.MP4", 100, "0000000000000000",
           CopyState::verified, 1);
  TwinCheck c = verifyTwin(card.path, list.files, "A캠", s, 1);
  EXPECT_EQ(std::tuple(c.same, c.unread.size(), c.differ),
            std::tuple(1, 0u, std::vector<std::string>{"CLIP/B.MP4"}));
  if (::geteuid() == 0) {  // else the drive is a folder, not a mount of its own
    EXPECT_EQ(c.underCopied, std::vector<std::string>{same.rel});
  }
}

TEST(CardFingerprint, DependsOnFilesOnly) {
  EXPECT_EQ(cardFingerprint({}), "2d06800538d394c2");  // XXH3-64 of no bytes
  // "a.mov|1|2\nb.mov|3|4": lower-cased, sorted, joined without a final line feed.
  EXPECT_EQ(cardFingerprint({{"B.MOV", 3, 4}, {"a.mov", 1, 2}}), "9964a35bf428bbcc");
  // Code point order: "z" (U+007A) before "é" (U+00E9), whatever the locale or char signedness.
  EXPECT_EQ(cardFingerprint({{"É.mov", 1, 2}, {"Z.MOV", 1, 2}}), "0eddecd8e0c6ba15");
  const std::string fp = cardFingerprint({{"a", 1, 1}, {"b", 2, 2}});
  EXPECT_EQ(cardFingerprint({{"b", 2, 2}, {"a", 1, 1}}), fp);
  for (auto other :
       {std::vector<CardFile>{{"a", 1, 1}}, {{"a", 1, 1}, {"b", 3, 2}}, {{"a", 1, 1}, {"b", 2, 3}}})
    EXPECT_NE(cardFingerprint(other), fp);
  // Case and composition as different readers report them ("한" as conjoining jamo).
  for (auto [x, y] : {std::pair<std::string, std::string>{"É.MOV", "é.mov"},
                      {"\xe1\x84\x92\xe1\x85\xa1\xe1\x86\xab.wav", "한.wav"}})
    EXPECT_EQ(cardFingerprint({{x, 1, 1}}), cardFingerprint({{y, 1, 1}})) << y;
  // Names differing only in case give the same line twice; both stay in the text.
  EXPECT_NE(cardFingerprint({{"A.MOV", 1, 1}, {"a.mov", 1, 1}}),
            cardFingerprint({{"a.mov", 1, 1}}));
}

TEST(CardStatusTest, CountsCopiesPerFileAndKnowsTheCardByItsRecordOrFirstFiles) {
  TempDir t;
  Store s{t.path + "/db.sqlite"};
  trustEveryRow(s);
  auto verify = [&](const CardFile& f, const std::string& dest,
                    CopyState state = CopyState::verified) {
    s.record(ingestKey("A캠", f), dest, f.rel, f.size, "h", state, 1);
  };
  std::vector<CardFile> card;
  for (int i = 0; i < 7; ++i)
    card.push_back({"C000" + std::to_string(i) + ".MP4", 10 + i, 100 + i});
  EXPECT_EQ(cardStatus(card, s, 1, std::nullopt), CardStatus::newCard());
  verify(card[5], "/d1");  // only the sixth was seen: too far to look
  EXPECT_EQ(cardStatus(card, s, 1, std::nullopt), CardStatus::newCard());
  verify(card[4], "/d1", CopyState::failed);  // the fifth names the camera, whatever its state
  EXPECT_EQ(cardStatus(card, s, 1, std::nullopt), CardStatus::known("A캠", 7, 0, 6, 1));
  // Re-listed with other letter case: no file of the card is found under that case.
  auto upper = card;
  for (auto& f : upper) f.rel[0] = 'c';
  EXPECT_EQ(cardStatus(upper, s, 1, std::nullopt), CardStatus::newCard());

  s.recordCard(cardFingerprint(card), "A캠", card, "U1");
  EXPECT_EQ(cardStatus(upper, s, 1, "U1"), CardStatus::known("A캠", 7, 0, 7))
      << "same fingerprint, but the keys keep the listed case";
  verify(card[0], "/d1");
  verify(card[0], "/d2");
  verify(card[1], "/d1");
  verify(card[2], "/d1", CopyState::copied);
  auto st = cardStatus(card, s, 2, "U1");
  EXPECT_EQ(st, CardStatus::known("A캠", 7, 2, 4, 2));
  EXPECT_FALSE(st.alreadyBackedUp());
  EXPECT_EQ(cardStatus(card, s, 1, "U1"), CardStatus::known("A캠", 7, 0, 4, 2));
  for (const auto& f : card) verify(f, "/d1"), verify(f, "/d2");
  EXPECT_TRUE(cardStatus(card, s, 2, "U1").alreadyBackedUp());
  EXPECT_TRUE(cardStatus(card, s, 2, std::nullopt).alreadyBackedUp()) << "no UUID on the card";
  // Same files on another file system: the second slot, however well the first is backed up.
  EXPECT_EQ(cardStatus(card, s, 2, "U2"), CardStatus::twin("A캠", 7));
  EXPECT_FALSE(cardStatus(card, s, 2, "U2").alreadyBackedUp());
  s.recordCard(cardFingerprint({card[0]}), "A캠", {card[0]}, std::nullopt);
  EXPECT_EQ(cardStatus({card[0]}, s, 2, "ANY"), CardStatus::known("A캠", 1, 0, 0, 2))
      << "a record without a volume is the same card";
  s.recordCard(cardFingerprint({}), "E캠", {}, "U9");
  EXPECT_FALSE(cardStatus({}, s, 2, "U9").alreadyBackedUp()) << "an empty card backs up nothing";
  // A database that fails under the count makes every file look unsaved, never saved.
  rawExec(s, "DROP TABLE copy");
  EXPECT_EQ(cardStatus(card, s, 2, "U1"), CardStatus::known("A캠", 7, 0, 7));
}

}  // namespace
}  // namespace tolverdine
