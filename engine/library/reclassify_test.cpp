#include "engine/library/reclassify.h"

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/card/camera_id.h"
#include "engine/hashlist/mhl.h"
#include "engine/hashlist/mhl_folder.h"
#include "engine/layout/rules.h"
#include "engine/library/library.h"
#include "testing/store_access.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

constexpr const char* kFolder = "01_원본/A캠/2_1830-2110/인터뷰";

int generations(const std::string& root) {
  int n = 0;
  for (const auto& f : listFolder(root + "/ascmhl")) n += f.ends_with(".mhl");
  return n;
}

int moves(Store& s) {
  int n = 0;
  try {
    rawQuery(s, "SELECT count(*) FROM move", {},
             [&](const SqlRow& r) { n = static_cast<int>(r.int64(0)); });
  } catch (const StoreError&) {  // the table is made with the first move
  }
  return n;
}

// A project folder with C0031.MP4, its sidecar and the unrelated C00310.MP4 in one class folder;
// in mirror storage the class folder holds clones (views) of the reel files.
struct Project {
  TempDir t;
  Store store{t.path + "/db.sqlite"};
  std::string root = t.path + "/20250101_p";
  bool mirror = false;
  std::map<std::string, Hit> hits;

  explicit Project(bool mirrored) : mirror(mirrored) {
    for (const char* name : {"C0031.MP4", "C0031M01.XML", "C00310.MP4"}) {
      const std::string cls = std::string(kFolder) + "/" + name;
      const std::string rel = mirror ? std::string("_카드원본/A캠_001/CLIP/") + name : cls;
      mkdirs(parentPath(root + "/" + rel));
      writeFile(root + "/" + rel, name, false);
      if (mirror) {
        mkdirs(parentPath(root + "/" + cls));
        writeFile(root + "/" + cls, name, false);
      }
      std::optional<std::string> view;
      if (mirror) view = cls;
      Hit h{std::string("A캠|CLIP/") + name + "|9|1",
            root,
            rel,
            view,
            "0123456789abcdef",
            CopyState::verified,
            "",
            9};
      store.record(h.key, root, rel, 9, h.hash, CopyState::verified, 1, std::nullopt, h.view);
      hits[name] = h;
    }
    store.rememberCamera("ILME-FX3", "A캠");
  }
};

TEST(Reclassify, SplitStorageMovesClipAndSidecarAndRecordsRenames) {
  Project p(false);
  std::string to = reclassify(p.hits["C0031.MP4"], "풀샷", NameSet::ko(), p.store);
  const std::string moved = "01_원본/A캠/2_1830-2110/풀샷/";
  EXPECT_EQ(to, moved + "C0031.MP4");
  EXPECT_TRUE(exists(p.root + "/" + moved + "C0031.MP4"));
  EXPECT_TRUE(exists(p.root + "/" + moved + "C0031M01.XML"));
  EXPECT_FALSE(exists(p.root + "/" + kFolder + "/C0031.MP4"));
  EXPECT_TRUE(exists(p.root + "/" + kFolder + "/C00310.MP4")) << "a longer number is another clip";
  EXPECT_EQ(p.store.destRel(p.hits["C0031M01.XML"].key, p.root), moved + "C0031M01.XML");
  EXPECT_EQ(p.store.destRel(p.hits["C00310.MP4"].key, p.root),
            std::string(kFolder) + "/C00310.MP4");
  EXPECT_EQ(generations(p.root), 1);
  EXPECT_EQ(moves(p.store), 1);
  // The move is remembered with the model of the camera behind the clip's label, so that the rule
  // a suggestion makes fits that camera's next clip.
  auto s = p.store.suggestions(1);
  ASSERT_EQ(s.size(), 1u);
  CameraID fx3;
  fx3.model = "ILME-FX3";
  EXPECT_EQ(s[0].model + " " + s[0].cls, fx3.modelName().value_or("?") + " 풀샷");

  // Already in the class: nothing moves, nothing is written.
  EXPECT_EQ(reclassify(Hit{p.hits["C0031.MP4"].key, p.root, to, {}, {}, CopyState::verified, "", 9},
                       "풀샷", NameSet::ko(), p.store),
            to);
  EXPECT_EQ(generations(p.root), 1);
  EXPECT_EQ(moves(p.store), 1);
}

TEST(Reclassify, MirrorStorageMovesOnlyTheViews) {
  Project p(true);
  std::string to = reclassify(p.hits["C0031.MP4"], "풀샷", NameSet::ko(), p.store);
  EXPECT_EQ(to, "01_원본/A캠/2_1830-2110/풀샷/C0031.MP4");
  EXPECT_TRUE(exists(p.root + "/_카드원본/A캠_001/CLIP/C0031.MP4"));
  EXPECT_TRUE(exists(p.root + "/01_원본/A캠/2_1830-2110/풀샷/C0031M01.XML"));
  EXPECT_EQ(p.store.destRel(p.hits["C0031.MP4"].key, p.root), "_카드원본/A캠_001/CLIP/C0031.MP4");
  EXPECT_EQ(p.store.recordedView(p.hits["C0031M01.XML"].key, p.root),
            "01_원본/A캠/2_1830-2110/풀샷/C0031M01.XML");
  EXPECT_EQ(generations(p.root), 0);
  EXPECT_EQ(moves(p.store), 1);
}

TEST(Reclassify, RefusalsTouchNothing) {
  Project p(false);
  auto expectError = [&](const Hit& h, const std::string& cls, const ReclassifyError& want) {
    try {
      reclassify(h, cls, NameSet::ko(), p.store);
      ADD_FAILURE() << "no error for " << h.classPath() << " → " << cls;
    } catch (const ReclassifyError& e) {
      EXPECT_EQ(e, want);
    }
  };
  const Hit clip = p.hits["C0031.MP4"];
  Hit gone = clip, flat = clip, up = clip;
  gone.dest = p.t.path + "/unplugged/20250101_p";
  flat.rel = "01_원본/A캠/인터뷰/C0001.MP4";
  up.rel = "01_원본/A캠/../../C0031.MP4";
  expectError(gone, "풀샷", ReclassifyError::offline(gone.dest));
  for (const Hit& h : {flat, up}) expectError(h, "풀샷", ReclassifyError::notClassified(h.rel));
  for (const char* cls : {" ", "a/b", ".."}) expectError(clip, cls, ReclassifyError::failed(cls));

  // The sidecar's place is taken: stop with the relative path, the stranger stays.
  const std::string target = "01_원본/A캠/2_1830-2110/풀샷/C0031M01.XML";
  mkdirs(parentPath(p.root + "/" + target));
  writeFile(p.root + "/" + target, "stranger", false);
  try {
    reclassify(clip, "풀샷", NameSet::ko(), p.store);
    ADD_FAILURE() << "an occupied target must stop the move";
  } catch (const ReclassifyError& e) {
    EXPECT_EQ(e.kind, ReclassifyError::Case::exists);
    EXPECT_EQ(e.description(), "옮길 자리에 이미 파일이 있습니다 — 덮어쓰지 않습니다: " + target);
  }
  std::string kept;
  ASSERT_TRUE(readFile(p.root + "/" + target, &kept));
  EXPECT_EQ(kept, "stranger");
  EXPECT_EQ(generations(p.root), 0);
  EXPECT_EQ(moves(p.store), 0);

  // A clip the database does not list on this destination is not reported as moved.
  Hit unknown = clip;
  unknown.key = "A캠|CLIP/C0099.MP4|9|1";
  unknown.rel = std::string(kFolder) + "/C0099.MP4";
  writeFile(p.root + "/" + unknown.rel, "x", false);
  expectError(unknown, "인서트", ReclassifyError::failed(unknown.rel));
  EXPECT_TRUE(exists(p.root + "/" + unknown.rel));
  EXPECT_EQ(moves(p.store), 0);
}

}  // namespace
}  // namespace tolverdine
