#include "engine/card/walk.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "engine/base/files.h"
#include "engine/card/listing_error.h"
#include "engine/card/scan.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

using Rels = std::vector<std::string>;

Rels rels(const WalkResult& w) {
  Rels out;
  for (const auto& f : w.files) out.push_back(f.rel);
  return out;
}

// Hidden and system entries, links and special files in one listing: a folder's files come in
// byte order before its folders; links never lead off the card and special files are never listed.
TEST(Walk, OrderHiddenSkippedAndLinkedEntriesAndTheRootAsText) {
  TempDir d;
  for (const char* rel : {"b/y.mp4", "a/x.mp4", "B.MP4", "a.mp4", "A.MP4", ".DS_Store",
                          "._C0001.MP4", ".Trashes/501/t.mp4", ".thumbs/g.jpg",
                          "System Volume Information/h.dat", ".Spotlight-V100/s", "a/sub/z.mp4"})
    putFile(d.path + "/" + rel);
  putFile(d.path + "/DCIM/100CANON/IMG_0001.JPG", "12345");
  for (auto [target, link] : {std::pair{"..", "DCIM/a"},
                              {"/", "x"},
                              {"DCIM/100CANON/IMG_0001.JPG", "same.jpg"},
                              {"/proc/version", "elsewhere.txt"},  // another device
                              {"gone", "dangling.mp4"},
                              {"pipe.mp4", "DCIM/topipe.mp4"},
                              {"/dev/zero", "DCIM/zero.mp4"}})
    ASSERT_EQ(::symlink(target, (d.path + "/" + link).c_str()), 0) << link;
  ASSERT_EQ(::mkfifo((d.path + "/DCIM/pipe.mp4").c_str(), 0644), 0);
  WalkResult w = walk(d.path + "/./");
  EXPECT_TRUE(w.errors.empty());
  EXPECT_EQ(rels(w), (Rels{"A.MP4", "B.MP4", "a.mp4", "same.jpg", ".thumbs/g.jpg",
                           "DCIM/100CANON/IMG_0001.JPG", "a/x.mp4", "a/sub/z.mp4", "b/y.mp4"}));
  EXPECT_EQ(w.files[0].path, d.path + "/A.MP4");
  EXPECT_EQ(w.files[3].size, 5) << "a link to a file on the card has the size of its target";

  // The root as given, in standard form: only the text decides (no folder here exists); ".." never
  // climbs above "/".
  for (std::string c : {" ", "./ .", "// /", "/../a /a", "a/.. .", "x/../../y ../y",
                        "a/b/../../.. ..", "a/./b//c/ a/b/c", "/m/./card/../c2/ /m/c2"})
    EXPECT_EQ(standardPath(c.substr(0, c.find(' '))), c.substr(c.find(' ') + 1)) << c;
}

// Fails chosen calls, as a card with a damaged folder or a failing reader would.
struct FailingFs : WalkFs {
  std::string failList, failStat;
  int list(const std::string& p, std::vector<std::string>& names) const override {
    return p == failList ? EIO : WalkFs::list(p, names);
  }
  int lstat(const std::string& p, struct ::stat& st) const override {
    return p == failStat ? EIO : WalkFs::lstat(p, st);
  }
};

TEST(Walk, FolderThatCannotBeListedIsReported) {
  TempDir d;
  for (const char* rel : {"DCIM/100CANON/IMG_0001.JPG", "DCIM/101CANON/IMG_0101.JPG",
                          "DCIM/101CANON/IMG_0102.JPG", "DCIM/.hidden/x"})
    putFile(d.path + "/" + rel);
  FailingFs f;
  f.failList = d.path + "/DCIM/100CANON";
  WalkResult w = walk(d.path, f);
  EXPECT_EQ(rels(w),
            (Rels{"DCIM/.hidden/x", "DCIM/101CANON/IMG_0101.JPG", "DCIM/101CANON/IMG_0102.JPG"}));
  ASSERT_EQ(w.errors, (std::vector<ListingError>{{"DCIM/100CANON", EIO}}));
  EXPECT_EQ(listingReason(w.errors[0]),
            "폴더를 읽지 못함: DCIM/100CANON · 입출력 오류입니다 — 드라이브나 케이블을 확인하세요 "
            "(Input/output error)");
  IngestResult r;
  r.color = CardColor::green;
  addListingFailures(r, w.errors);
  EXPECT_EQ(r.color, CardColor::red);
  EXPECT_EQ(r.failed, (std::vector<Failure>{{"DCIM/100CANON", "", listingReason(w.errors[0])}}));
  // The scan reports it as well (its failures make the card red).
  ScanResult s = scan(
      d.path, CameraRole::none, [](const std::string&) { return Meta{}; },
      [](const Meta&) { return "기타"; }, f);
  EXPECT_EQ(s.rows.size(), 3u);
  EXPECT_EQ(s.errors, w.errors);

  // The root itself.
  f.failList = d.path;
  w = walk(d.path, f);
  EXPECT_EQ(w.errors, (std::vector<ListingError>{{"", EIO}}));
  EXPECT_EQ(listingReason(w.errors[0]).rfind("폴더를 읽지 못함: / · ", 0), 0u);
  EXPECT_EQ(walk(d.path + "/missing").errors, (std::vector<ListingError>{{"", ENOENT}}));

  // A status that cannot be read: a plain name is listed with 0 and 0 (its copy fails later),
  // a hidden one might be a folder and makes the listing incomplete.
  f.failList.clear();
  f.failStat = d.path + "/DCIM/101CANON/IMG_0101.JPG";
  w = walk(d.path, f);
  ASSERT_EQ(w.files.size(), 4u);
  EXPECT_EQ(w.files[2].rel, "DCIM/101CANON/IMG_0101.JPG");
  EXPECT_EQ(w.files[2].size + w.files[2].mtimeNs, 0);
  EXPECT_EQ(w.files[3].size, 1);
  EXPECT_TRUE(w.errors.empty());
  f.failStat = d.path + "/DCIM/.hidden";
  EXPECT_EQ(walk(d.path, f).errors, (std::vector<ListingError>{{"DCIM/.hidden", EIO}}));
}

// A folder large enough for its lookups to be shared out: every name in order with its own status,
// a status that cannot be read and a folder among them far down.
TEST(Walk, LargeFolderKeepsOrderAndEachStatus) {
  TempDir d;
  const std::string dir = d.path + "/DCIM/100MSDCF";
  auto name = [](int i) {
    char n[16];
    std::snprintf(n, sizeof n, "C%04d.JPG", i);
    return std::string(n);
  };
  for (int i = 0; i < 1100; ++i) putFile(dir + "/" + name(i), std::string(i % 7 + 1, 'x'));
  putFile(dir + "/C1050.SUB/in.JPG");
  FailingFs f;
  f.failStat = dir + "/" + name(1090);
  WalkResult w = walk(d.path, f);
  ASSERT_EQ(w.files.size(), 1101u);
  for (int i = 0; i < 1100; ++i) {
    EXPECT_EQ(w.files[i].rel, "DCIM/100MSDCF/" + name(i));
    EXPECT_EQ(w.files[i].size, i == 1090 ? 0 : i % 7 + 1) << i;
  }
  EXPECT_EQ(w.files[1100].rel, "DCIM/100MSDCF/C1050.SUB/in.JPG");
  EXPECT_TRUE(w.errors.empty());
}

TEST(Walk, StaysOnTheCardsOwnFoldersAndEntersEachOnce) {
  // ext4 makes lost+found (root only, mode 0700) at the root of every volume: never the camera's,
  // and a normal user cannot even list it; one deeper down is a folder of the card. A bind mount of
  // the card inside itself would recurse without end; a foreign file system mounted inside the card
  // is not the card.
  LoopMount m(16);
  SKIP_UNLESS_MOUNTED(m);
  const std::string card = m.path();
  ASSERT_TRUE(std::filesystem::is_directory(card + "/lost+found"));
  for (const char* rel : {"DCIM/100CANON/IMG_0001.JPG", "DCIM/lost+found/IMG_0002.JPG"})
    putFile(card + "/" + rel);
  writeFile(card + "/lost+found/#12", "recovered");
  for (const char* dir : {"/DCIM/loop", "/other"}) mkdirs(card + dir);
  if (sh("mount --bind " + card + " " + card + "/DCIM/loop 2>/dev/null") != 0)
    GTEST_SKIP() << "bind mount refused";
  bool tmpfs = sh("mount -t tmpfs none " + card + "/other 2>/dev/null") == 0;
  if (tmpfs) writeFile(card + "/other/foreign.mp4", "x");
  WalkResult w = walk(card);
  sh("umount -l " + card + "/DCIM/loop");
  if (tmpfs) sh("umount -l " + card + "/other");
  EXPECT_EQ(rels(w), (Rels{"DCIM/100CANON/IMG_0001.JPG", "DCIM/lost+found/IMG_0002.JPG"}));
  EXPECT_TRUE(w.errors.empty());
}

}  // namespace
}  // namespace tolverdine
