#include "engine/copy/storage.h"

#include <gtest/gtest.h>

#include "engine/copy/copy.h"
#include "engine/copy/ingest_test_util.h"
#include "engine/copy/mirror.h"
#include "engine/copy/storage_plan.h"
#include "engine/store/view.h"
#include "os/clone.h"

namespace tolverdine {
namespace {

using testing::cardRow;
using testing::extents;
using testing::kCam;
using testing::plenty;

TEST(Storage, AutoOverVolumesAndClones) {
  LoopMount xfs(320, "xfs"), ext4(32);
  SKIP_UNLESS_MOUNTED(xfs);
  SKIP_UNLESS_MOUNTED(ext4);
  EXPECT_TRUE(canClone(xfs.path()));
  // A project folder that only the run will create is judged by its drive.
  EXPECT_TRUE(canClone(xfs.path() + "/not/yet/20250101_p"));
  EXPECT_FALSE(canClone(ext4.path()));
  // Automatic mirrors only where every drive clones (the command's test has the mixed case).
  EXPECT_EQ(resolveStorage(StorageMode::automatic, {xfs.path() + "/p"}), StorageMode::mirror);

  const std::string a = xfs.path() + "/a.mov", b = xfs.path() + "/b.mov";
  writePattern(a, 24u << 20, 7);
  ASSERT_EQ(::chmod(a.c_str(), 0640), 0);
  const timespec times[2] = {{1000, 5}, {2000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, a.c_str(), times, 0), 0);

  ASSERT_EQ(cloneFile(a, b), 0);
  // The clone shares the extents (no data copied) and carries mode and times.
  ASSERT_FALSE(extents(a).empty());
  EXPECT_EQ(extents(a), extents(b));
  EXPECT_EQ(hashFile(a), hashFile(b));
  struct stat sb {};
  ASSERT_EQ(::stat(b.c_str(), &sb), 0);
  EXPECT_EQ(std::tuple(sb.st_mode & 07777, sb.st_mtim.tv_sec, sb.st_mtim.tv_nsec),
            std::tuple(0640u, 2000L, 123456789L));

  // An occupied target is refused and keeps its bytes.
  const std::string c = xfs.path() + "/c.mov";
  writeFile(c, "keep", false);
  EXPECT_EQ(cloneFile(a, c), EEXIST);
  EXPECT_EQ(slurp(c), "keep");

  // Where the file system cannot clone nothing is left behind, not even an empty file.
  const std::string e = ext4.path() + "/a.mov";
  writePattern(e, 1 << 20, 3);
  for (const auto& [from, to] :
       {std::pair{e, ext4.path() + "/b.mov"}, std::pair{a, ext4.path() + "/x.mov"},
        std::pair{xfs.path() + "/missing", xfs.path() + "/y"}}) {
    EXPECT_NE(cloneFile(from, to), 0) << to;
    EXPECT_FALSE(exists(to));
  }
}

// Three clips and a sidecar, planned the way a real card is: mirror paths with the split place
// as the view.
std::vector<Row> mirroredCard(const std::string& card, Store& store,
                              const std::vector<std::string>& roots) {
  std::vector<Row> rows;
  rows.push_back(cardRow(card, "PRIVATE/M4ROOT/CLIP/C0001.MP4", 3u << 20, 1));
  rows.push_back(cardRow(card, "PRIVATE/M4ROOT/CLIP/C0001M01.XML", 2000, 2));
  rows.push_back(cardRow(card, "PRIVATE/M4ROOT/CLIP/C0002.MP4", 5u << 20, 3));
  rows.push_back(cardRow(card, "PRIVATE/M4ROOT/CLIP/C0003.MP4", 1u << 20, 4));
  rows[1].kind = Kind::etc;
  rows[1].owner = "C0001.MP4";
  for (auto& r : rows) r.session = "1_0900-0930";
  destPaths(rows, kCam, NameSet::ko());
  EXPECT_EQ(applyStorage(StorageMode::mirror, rows, kCam, roots, NameSet::ko(), store),
            StorageMode::mirror);
  return rows;
}

TEST(View, ClonedOnlyForVerifiedCopiesWhereTheDriveCanAndUserMovesKept) {
  LoopMount xfs(320, "xfs");
  LoopMount ext4(64);
  SKIP_UNLESS_MOUNTED(xfs);
  SKIP_UNLESS_MOUNTED(ext4);
  TempDir t;
  Store store(t.path + "/db.sqlite");
  const std::string rx = xfs.path() + "/20250101_p", re = ext4.path() + "/20250101_p";
  auto rows = mirroredCard(t.path + "/card", store, {rx, re});
  auto res =
      runIngest(rows, t.path + "/card", kCam, {rx, re}, NameSet::ko(), store, 2, {}, plenty, {});
  ASSERT_EQ(res.color, CardColor::green);
  EXPECT_TRUE(makeView(rows, rx, kCam, store).empty());
  for (const auto& r : rows) {  // a view costs no second copy
    EXPECT_EQ(extents(rx + "/" + *r.view), extents(rx + "/" + *r.dest)) << *r.view;
    EXPECT_EQ(hashFile(rx + "/" + *r.view), hashFile(r.src));
  }
  // No clones on ext4: every view is reported, none is made, and no ordinary copy stands in.
  EXPECT_EQ(makeView(rows, re, kCam, store).size(), rows.size());
  for (const auto& r : rows) EXPECT_FALSE(exists(re + "/" + *r.view));
  // A second copy gets views only where its drive can clone, whatever the primary's drive.
  const std::string onXfs = xfs.path() + "/second", onExt4 = ext4.path() + "/second";
  for (const auto& [from, to] : {std::pair{re, onXfs}, std::pair{rx, onExt4}})
    EXPECT_EQ(runMirror(from, to, store, plenty, {}).failed.size(), 0u) << to;
  for (const auto& r : rows) {
    EXPECT_EQ(hashFile(onXfs + "/" + *r.view), hashFile(r.src));
    EXPECT_FALSE(exists(onExt4 + "/" + *r.view));
    EXPECT_EQ(hashFile(onExt4 + "/" + *r.dest), hashFile(r.src));
    for (const auto& to : {onXfs, onExt4})
      EXPECT_EQ(store.verifiedHash(ingestKey(kCam, r), to), hashFile(r.src)) << to;
  }
  EXPECT_EQ(store.recordedView(ingestKey(kCam, rows[0]), onExt4), rows[0].view);

  // A view the user deleted comes back; one the user moved (recorded elsewhere) does not.
  ASSERT_EQ(::unlink((rx + "/" + *rows[2].view).c_str()), 0);
  const std::string moved = parentPath(parentPath(*rows[3].view)) + "/인터뷰/C0003.MP4";
  mkdirs(parentPath(rx + "/" + moved));
  ASSERT_EQ(::rename((rx + "/" + *rows[3].view).c_str(), (rx + "/" + moved).c_str()), 0);
  ASSERT_TRUE(store.moveCopy(ingestKey(kCam, rows[3]), rx, moved, /*hasView=*/true));
  EXPECT_TRUE(makeView(rows, rx, kCam, store).empty());
  EXPECT_TRUE(exists(rx + "/" + *rows[2].view));
  EXPECT_FALSE(exists(rx + "/" + *rows[3].view));

  // A view path that would leave the project folder is refused, nothing is made.
  auto evil = rows;
  evil[0].view = "../../escaped.MP4";
  EXPECT_EQ(makeView(evil, rx, kCam, store), std::vector<std::string>{"../../escaped.MP4"});
  EXPECT_FALSE(exists(xfs.path() + "/escaped.MP4"));
}

}  // namespace
}  // namespace tolverdine
