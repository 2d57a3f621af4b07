// Green only from copies that are physically apart: the real command on real mounts, tried the
// ways a drive can be named twice, a link can pass for a file, or a card for its own backup.
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>

#include "cli/cli_test_util.h"
#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/copy/copy.h"
#include "engine/copy/ingest_test_util.h"
#include "engine/store/store.h"

namespace tolverdine {
namespace {

// A shell command run at scope end, however the test ends: mounts are never left behind.
struct AtEnd {
  std::string cmd;
  ~AtEnd() { sh(cmd); }
};

std::string projectIn(const std::string& dest) {
  const std::string p = only("'" + dest + "'/*_p");
  return p.empty() ? dest + "/?" : p;
}

// Project p, two copies asked for, onto dests.
RunResult ingest(const Cli& c, const std::vector<std::string>& dests,
                 const std::string& card = "") {
  std::vector<std::string> args{card.empty() ? c.card : card, "--project", "p", "--copies", "2"};
  for (const auto& d : dests) args.insert(args.end(), {"--dest", d});
  return c.run(args);
}

RunResult status(const Cli& c) { return c.run({c.card, "--copies", "2"}, "status"); }

TEST(PhysicalCopies, OneDriveIsOneCopyWhateverNamesIt) {
  Cli c;
  LoopMount a(32), b(32);
  SKIP_UNLESS_MOUNTED(a);
  SKIP_UNLESS_MOUNTED(b);
  // The card as its own destination, or a folder of it: refused, nothing written on the card.
  for (const auto& d : {c.card, c.card + "/PRIVATE"}) {
    auto r = ingest(c, {d, b.path()});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(has(r, "카드는 자기 자신의 사본이 될 수 없습니다")) << r.out;
  }
  EXPECT_EQ(shellOutput("ls '" + c.card + "'").out, "PRIVATE\n");
  // Nor through FUSE (bindfs), which no device number ties to the card: found by a file made there.
  const std::string fuse = c.dir.path + "/fuse";
  mkdirs(fuse);
  if (sh("bindfs '" + c.card + "' '" + fuse + "' 2>/dev/null") == 0) {
    auto r = ingest(c, {fuse + "/PRIVATE", b.path()});
    sh("umount '" + fuse + "'");
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(has(r, "목적지가 카드와 같은 드라이브에 있습니다")) << r.out;
    EXPECT_EQ(shellOutput("find '" + c.card + "' -name '.tolverdine*'").out, "");
  }

  // One copy on a; then a named by a bind mount, by a second mount of its device, by two of its
  // folders: still one copy.
  EXPECT_EQ(ingest(c, {a.path()}).status, 1);
  const std::string pa = projectIn(a.path()), name = lastComponent(pa);
  const std::string bound = c.dir.path + "/bound", again = c.dir.path + "/again";
  for (const auto& d : {bound, again, a.path() + "/x", a.path() + "/y", c.dir.path + "/l"})
    mkdirs(d);
  AtEnd unmount{"umount '" + again + "' 2>/dev/null; umount '" + bound + "' 2>/dev/null"};
  ASSERT_EQ(sh("mount --bind '" + a.path() + "' '" + bound + "'"), 0);
  ASSERT_EQ(sh("mount \"$(findmnt -no SOURCE '" + a.path() + "')\" '" + again + "'"), 0);
  for (const auto& dests : std::vector<std::vector<std::string>>{
           {bound}, {again}, {a.path() + "/x"}, {a.path() + "/x", a.path() + "/y"}}) {
    auto r = ingest(c, dests);
    EXPECT_EQ(r.status, 1) << dests.back() << "\n" << r.out;
    EXPECT_TRUE(dests.size() == 1 || has(r, "같은 드라이브: ")) << r.out;
  }
  // A project folder that is a link to a's: the same folder, refused beside a; alone, a's copy.
  ASSERT_EQ(::symlink(pa.c_str(), (c.dir.path + "/l/" + name).c_str()), 0);
  EXPECT_EQ(ingest(c, {c.dir.path + "/l", a.path()}).status, 2);
  EXPECT_EQ(ingest(c, {c.dir.path + "/l"}).status, 1);
  // The second copy onto another name of the same drive adds no copy.
  mkdirs(again + "/m");
  auto mirror = c.run({pa, again + "/m/" + name}, "mirror");
  EXPECT_EQ(status(c).status, 1) << mirror.out;
  EXPECT_TRUE(has(mirror, "같은 드라이브: ")) << mirror.out;
  // Nor may the card's second slot be formatted on the strength of that one drive.
  ASSERT_EQ(sh("cp -a '" + c.card + "' '" + c.dir.path + "/slot2'"), 0);
  auto twin = c.run({c.dir.path + "/slot2"}, "twin");
  EXPECT_NE(twin.status, 0) << twin.out;
  EXPECT_FALSE(has(twin, "포맷해도 됩니다")) << twin.out;

  // Links at b to the card's own files are no copies: never adopted, never overwritten.
  const std::string onB = b.path() + "/" + name;
  ASSERT_EQ(sh("cd '" + pa + "' && find . -name '*.MP4' | while read f; do " + "mkdir -p \"" + onB +
               "/$(dirname \"$f\")\"; ln -s '" + c.card +
               "/PRIVATE/M4ROOT/CLIP/'\"$(basename \"$f\")\" \"" + onB + "/$f\"; done"),
            0);
  auto links = ingest(c, {a.path(), b.path()});
  EXPECT_EQ(links.status, 2);
  EXPECT_TRUE(has(links, "링크나 폴더 등 일반 파일이 아닌 것이 이미 있음")) << links.out;
  ASSERT_EQ(sh("find '" + onB + "' -type l -delete"), 0);

  // Two drives: green, and the status names two drives.
  EXPECT_EQ(ingest(c, {a.path(), b.path()}).status, 0);
  auto two = status(c);
  EXPECT_EQ(two.status, 0) << two.out;
  EXPECT_TRUE(has(two, "검증 사본이 있는 드라이브: 2개")) << two.out;
  sh(unmount.cmd);

  // b mounted as a desktop mounts it, under /media (in a mount namespace of its own), its
  // project folder deleted: that drive is here, so its copies are gone, not on the shelf.
  const std::string script = "mkdir -p /media/TVSSD && mount \\$(findmnt -no SOURCE '" + b.path() +
                             "') /media/TVSSD && umount '" + b.path() +
                             "' && rm -rf /media/TVSSD/*_p && env HOME='" + c.dir.path + "/home' " +
                             TOLVERDINE_BINARY + " status '" + c.card + "' --copies 2";
  auto media = shellOutput("unshare -m --propagation private sh -c \"" + script + "\" 2>&1");
  EXPECT_EQ(media.code, 1) << media.out;
  EXPECT_NE(media.out.find("검증 사본이 있는 드라이브: 1개"), std::string::npos) << media.out;

  // An empty card folder (a card not mounted leaves one) decides nothing.
  mkdirs(c.dir.path + "/empty");
  auto empty = ingest(c, {a.path(), b.path()}, c.dir.path + "/empty");
  EXPECT_EQ(empty.status, 3);
  EXPECT_TRUE(has(empty, "카드에 복사할 파일이 없습니다")) << empty.out;
}

// Two cameras of one maker (the same still names) into one project at the same time: each run
// writes only its own temporaries, and a name the other took sends the still to its camera's
// folder. Every verified row names a file with its own card's bytes.
TEST(PhysicalCopies, TwoCamerasAtOnceNeverTakeEachOthersCopies) {
  Cli c;
  const std::string cards[] = {c.dir.path + "/A", c.dir.path + "/B"};
  for (int k = 0; k < 2; ++k) {
    mkdirs(cards[k] + "/DCIM/100MSDCF");
    for (int i = 1; i <= 300; ++i)
      writePattern(cards[k] + "/DCIM/100MSDCF/DSC" + std::to_string(10000 + i).substr(1) + ".JPG",
                   20000 + 97 * i, static_cast<unsigned>(1000 * k + i));
  }
  for (int round = 0; round < 3; ++round) {
    auto camera = [&](int k) {
      return c.run(
          {cards[k], "--project", "p", "--cam", k ? "B캠" : "A캠", "--dest", c.d1, "--dest", c.d2});
    };
    auto other = std::async(std::launch::async, camera, 1);
    EXPECT_EQ(camera(0).status, 0);
    EXPECT_EQ(other.get().status, 0);
  }
  Store s(c.db);
  int rows = 0;
  for (const std::string& root : s.verifiedRoots()) {
    for (const Entry& e : s.verifiedEntries(root)) {
      ++rows;
      const std::string card = e.key.rfind("B캠|", 0) == 0 ? cards[1] : cards[0];
      const size_t bar = e.key.find('|');
      const std::string rel = e.key.substr(bar + 1, e.key.find('|', bar + 1) - bar - 1);
      EXPECT_EQ(hashFile(root + "/" + e.rel), hashFile(card + "/" + rel)) << e.key << " " << e.rel;
    }
  }
  EXPECT_EQ(rows, 1200);
  EXPECT_EQ(testing::partsUnder(c.d1) + testing::partsUnder(c.d2), "");
}

// Two volumes of one disk hold one copy between them, and a memory drive none: a dead disk or a
// power cut takes them all.
TEST(PhysicalCopies, VolumesOfOneDiskAndMemoryDrivesAreNoSecondCopy) {
  Cli c;
  LoopMount other(32);
  SKIP_UNLESS_MOUNTED(other);
  const std::string img = c.dir.path + "/two.img", v1 = c.dir.path + "/v1", v2 = c.dir.path + "/v2",
                    ram = c.dir.path + "/ram";
  std::string disk =
      shellOutput("truncate -s 80M " + img + " && printf 'label: dos\\n,32M\\n,32M\\n' | " +
                  "sfdisk -q " + img + " && losetup -f --show -P " + img)
          .out;
  if (!disk.empty()) disk.pop_back();
  if (disk.empty()) GTEST_SKIP() << "no partitioned loop device (sfdisk, losetup -P)";
  AtEnd detach{"umount " + v1 + " " + v2 + " " + ram + " 2>/dev/null; losetup -d " + disk};
  if (!exists(disk + "p2")) sh("partx -a " + disk + " 2>/dev/null");
  if (!exists(disk + "p2")) GTEST_SKIP() << "the loop device's partitions did not appear";
  for (const auto& d : {v1, v2, ram}) mkdirs(d);
  ASSERT_EQ(sh("mkfs.ext4 -q " + disk + "p1 && mkfs.ext4 -q " + disk + "p2 && mount " + disk +
               "p1 " + v1 + " && mount " + disk + "p2 " + v2 + " && mount -t tmpfs tmpfs " + ram),
            0);
  auto volumes = ingest(c, {v1, v2});
  EXPECT_EQ(volumes.status, 1) << volumes.out;
  EXPECT_TRUE(has(volumes, "같은 드라이브: ")) << volumes.out;
  auto memory = ingest(c, {v1, ram});
  EXPECT_EQ(memory.status, 1) << memory.out;
  EXPECT_TRUE(has(memory, "메모리 드라이브: " + ram)) << memory.out;
  EXPECT_EQ(status(c).status, 1);
  // A volume of that disk and another disk: two copies.
  EXPECT_EQ(ingest(c, {v2, other.path()}).status, 0);
  auto two = status(c);
  EXPECT_TRUE(has(two, "검증 사본이 있는 드라이브: 2개")) << two.out;
}

}  // namespace
}  // namespace tolverdine
