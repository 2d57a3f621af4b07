#include "engine/library/reclassify.h"

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/copy/ingest_test_util.h"
#include "engine/hashlist/mhl_folder.h"
#include "engine/library/library.h"

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
  std::map<std::string, Hit> hits;

  explicit Project(bool mirror) {
    for (const char* name : {"C0031.MP4", "C0031M01.XML", "C00310.MP4"}) {
      const std::string cls = std::string(kFolder) + "/" + name;
      const std::string rel = mirror ? std::string("_카드원본/A캠_001/CLIP/") + name : cls;
      for (const std::string& f : mirror ? std::vector{rel, cls} : std::vector{rel})
        putFile(root + "/" + f, name);
      const std::string key = std::string("A캠|CLIP/") + name + "|9|1";
      Hit h{key, root, rel, {}, "0123456789abcdef", CopyState::verified, "", 9};
      if (mirror) h.view = cls;
      store.record(h.key, root, rel, 9, h.hash, CopyState::verified, 1, std::nullopt, h.view);
      hits[name] = h;
    }
    store.rememberCamera("ILME-FX3", "A캠");
  }
};

TEST(Reclassify, MovesClipAndSidecarOrTheirViewsAndRecordsThem) {
  const std::string moved = "01_원본/A캠/2_1830-2110/풀샷/", reel = "_카드원본/A캠_001/CLIP/";
  for (bool mirror : {false, true}) {
    SCOPED_TRACE(mirror ? "mirror" : "split");
    Project p(mirror);
    auto rel = [&](const char* name) { return p.store.destRel(p.hits[name].key, p.root); };
    EXPECT_EQ(reclassify(p.hits["C0031.MP4"], "풀샷", NameSet::ko(), p.store), moved + "C0031.MP4");
    EXPECT_TRUE(exists(p.root + "/" + moved + "C0031.MP4"));
    EXPECT_TRUE(exists(p.root + "/" + moved + "C0031M01.XML"));
    EXPECT_FALSE(exists(p.root + "/" + kFolder + "/C0031.MP4"));
    EXPECT_TRUE(exists(p.root + "/" + kFolder + "/C00310.MP4"))
        << "a longer number is another clip";
    EXPECT_EQ(moves(p.store), 1);
    if (mirror) {
      // Only the views move: the copies, their rows and the hash lists stay as they are.
      EXPECT_TRUE(exists(p.root + "/" + reel + "C0031.MP4"));
      EXPECT_EQ(rel("C0031.MP4"), reel + "C0031.MP4");
      EXPECT_EQ(p.store.recordedView(p.hits["C0031M01.XML"].key, p.root), moved + "C0031M01.XML");
      EXPECT_EQ(generations(p.root), 0);
      continue;
    }
    EXPECT_EQ(rel("C0031M01.XML"), moved + "C0031M01.XML");
    EXPECT_EQ(rel("C00310.MP4"), std::string(kFolder) + "/C00310.MP4");
    EXPECT_EQ(generations(p.root), 1);
    // The recorded hash is not the files' own (as if they had changed since the copy): the
    // renames list must not call them verified.
    for (const auto& f : listFolder(p.root + "/ascmhl"))
      EXPECT_FALSE(f.ends_with(".mhl") && contains(slurp(p.root + "/ascmhl/" + f), "\"verified\""));
    // The move is remembered with the model of the camera behind the clip's label, so that the
    // rule a suggestion makes fits that camera's next clip.
    auto s = p.store.suggestions(1);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].model + " " + s[0].cls, "FX3 풀샷");

    // Already in the class: nothing moves, nothing is written.
    Hit there{
        p.hits["C0031.MP4"].key, p.root, moved + "C0031.MP4", {}, {}, CopyState::verified, "", 9};
    EXPECT_EQ(reclassify(there, "풀샷", NameSet::ko(), p.store), there.rel);
    EXPECT_EQ(generations(p.root), 1);
    EXPECT_EQ(moves(p.store), 1);
  }
}

TEST(Reclassify, RefusalsTouchNothing) {
  Project p(false);
  auto refusal = [&](const Hit& h, const std::string& cls) {
    return testing::thrown<ReclassifyError>([&] { reclassify(h, cls, NameSet::ko(), p.store); });
  };
  const Hit clip = p.hits["C0031.MP4"];
  Hit gone = clip, flat = clip, up = clip;
  gone.dest = p.t.path + "/unplugged/20250101_p";
  flat.rel = "01_원본/A캠/인터뷰/C0001.MP4";
  up.rel = "01_원본/A캠/../../C0031.MP4";
  EXPECT_EQ(refusal(gone, "풀샷"), ReclassifyError::offline(gone.dest));
  for (const Hit& h : {flat, up})
    EXPECT_EQ(refusal(h, "풀샷"), ReclassifyError::notClassified(h.rel)) << h.rel;
  for (const char* cls : {" ", "a/b", ".."})
    EXPECT_EQ(refusal(clip, cls), ReclassifyError::failed(cls)) << cls;

  // The sidecar's place is taken: stop with the relative path, the stranger stays.
  const std::string target = "01_원본/A캠/2_1830-2110/풀샷/C0031M01.XML";
  putFile(p.root + "/" + target, "stranger");
  EXPECT_EQ(refusal(clip, "풀샷"), ReclassifyError::exists(target));
  EXPECT_EQ(ReclassifyError::exists(target).description(),
            "옮길 자리에 이미 파일이 있습니다 — 덮어쓰지 않습니다: " + target);
  EXPECT_EQ(slurp(p.root + "/" + target), "stranger");

  // A clip the database does not list on this destination is not reported as moved.
  Hit unknown = clip;
  unknown.key = "A캠|CLIP/C0099.MP4|9|1";
  unknown.rel = std::string(kFolder) + "/C0099.MP4";
  writeFile(p.root + "/" + unknown.rel, "x", false);
  EXPECT_EQ(refusal(unknown, "인서트"), ReclassifyError::failed(unknown.rel));
  EXPECT_TRUE(exists(p.root + "/" + unknown.rel));
  EXPECT_EQ(std::pair(generations(p.root), moves(p.store)), std::pair(0, 0)) << "hash lists, moves";
}

}  // namespace
}  // namespace tolverdine
