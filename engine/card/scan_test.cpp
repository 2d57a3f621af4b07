#include "engine/card/scan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <mutex>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/card/card_detect.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

// A file (sparse when size is given, so any size is cheap) with its folders.
void touch(const std::string& root, const std::string& rel, int64_t size = -1) {
  putFile(root + "/" + rel, size < 0 ? "x" : "");
  ASSERT_EQ(size < 0 ? 0 : ::truncate((root + "/" + rel).c_str(), size), 0);
}

void setMtime(const std::string& path) {
  timespec ts[2] = {{1'700'000'000, 500'000'000}, {1'700'000'000, 500'000'000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
}

TEST(CardDetect, CardsGenericMediaAndOthers) {
  TempDir dcim, braw, pkg, big;
  mkdirs(dcim.path + "/Dcim");
  touch(braw.path, "A001C001.braw");
  touch(pkg.path, "Install.pkg");
  touch(big.path, "backup/file.bin");
  EXPECT_TRUE(looksLikeCard(braw.path));
  EXPECT_FALSE(isCard(dcim.path, false));

  const int64_t tb2 = 2'000'000'000'000, tb4 = 4'000'000'000'000;
  EXPECT_EQ(decideCard(dcim.path, true, false, std::nullopt), CardDecision::card);
  EXPECT_EQ(decideCard(big.path, true, false, tb2), CardDecision::generic);
  for (auto [removable, image, capacity] : {std::tuple{true, false, std::optional{tb4}},
                                            {true, true, tb2},  // disk image
                                            {false, false, tb2},
                                            {true, false, std::nullopt}})
    EXPECT_EQ(decideCard(big.path, removable, image, capacity), CardDecision::none);
  EXPECT_EQ(decideCard(pkg.path, true, false, tb2), CardDecision::none);
  EXPECT_FALSE(isSmallVolume(2'200'000'000'001));
  EXPECT_TRUE(isDiskImage(std::nullopt, std::string("Virtual Interface")));
}

TEST(QuickList, RelativeNfcPathsSizesAndTimesAndSettling) {
  TempDir d;
  mkdirs(d.path + "/DCIM");
  // Written by hand: the file helpers would store the name composed (한, decomposed).
  std::string nfd = d.path + "/DCIM/\xe1\x84\x92\xe1\x85\xa1\xe1\x86\xab.MP4";
  std::ofstream(nfd) << "12345";
  setMtime(nfd);
  EXPECT_EQ(quickList(d.path + "/DCIM/../"),
            (CardList{{{"DCIM/\xed\x95\x9c.MP4", 5, 1'700'000'000'500'000'000}}, {}}));

  // A card still being written: every try finds one more file.
  int sleeps = 0;
  CardList moving = settledList(d.path, 1, 10, [&](double s) {
    EXPECT_EQ(s, 1);
    touch(d.path, "DCIM/B" + std::to_string(++sleeps) + ".MP4");
  });
  EXPECT_EQ(sleeps, 10);
  EXPECT_EQ(moving.files.size(), 11u);
}

// Row by row: name, kind, class, time, and where the time came from when it is the file's.
std::vector<std::string> summary(const ScanResult& s) {
  std::vector<std::string> out;
  for (const Row& r : s.rows)
    out.push_back(r.rel + " " + kindText(r.kind) + " " + r.cls + " " +
                  (r.meta.t ? std::to_string(*r.meta.t) : "-") + (r.tFromMtime ? " mtime" : "") +
                  (r.span ? " span" : ""));
  return out;
}

TEST(Scan, KindsClassesTimesSidecarsAndSpannedClips) {
  TempDir d;
  for (const char* rel : {"DCIM/100MSDCF/THMBNL/C0001T01.JPG", "PRIVATE/M4ROOT/CLIP/C0001M01.XML",
                          "DCIM/100CANON/IMG_0001.JPG", "PRIVATE/M4ROOT/CLIP/C0001.MP4",
                          "PRIVATE/M4ROOT/CLIP/C0002.MP4", "PRIVATE/M4ROOT/CLIP/C0003.MP4",
                          "AUDIO/ZOOM0001.WAV", "AUDIO/ZOOM0002.WAV"}) {
    touch(d.path, rel);
    setMtime(d.path + "/" + rel);
  }
  // Probes by file name from a table, noting the calls (they come from several threads).
  std::map<std::string, Meta> metas = {
      {"C0002.MP4", {1'600'000'000.0, 12.0, 2, "3840x2160", 25.0}},
      {"C0003.MP4", {std::nullopt, 1, 0, std::nullopt, std::nullopt}},
      {"ZOOM0002.WAV", {1'600'000'100.0, 30.0, 2, std::nullopt, std::nullopt}}};
  std::mutex lock;
  std::vector<std::string> seen;
  auto probe = [&](const std::string& path) {
    std::lock_guard<std::mutex> g(lock);
    seen.push_back(lastComponent(path));
    return metas.count(seen.back()) ? metas[seen.back()] : Meta{};
  };
  // An interview camera's clips of known length are interviews, but for slates (which role gives
  // which class is the rules' test; here the scan must apply it).
  ScanResult s = scan(d.path, CameraRole::interview, probe,
                      [](const Meta& m) { return m.dur == 1.0 ? "슬레이트" : "기타"; });
  EXPECT_TRUE(s.errors.empty());
  // A video without its own time takes the file's and says so; audio and photos keep theirs.
  EXPECT_EQ(summary(s),
            (std::vector<std::string>{
                "AUDIO/ZOOM0001.WAV audio 오디오 1700000000.500000",
                "AUDIO/ZOOM0002.WAV audio 오디오 1600000100.000000",
                "DCIM/100CANON/IMG_0001.JPG photo 사진 1700000000.500000",
                "DCIM/100MSDCF/THMBNL/C0001T01.JPG etc 부속 -",
                "PRIVATE/M4ROOT/CLIP/C0001.MP4 video 기타 1700000000.500000 mtime",
                "PRIVATE/M4ROOT/CLIP/C0001M01.XML etc 부속 -",
                "PRIVATE/M4ROOT/CLIP/C0002.MP4 video 인터뷰 1600000000.000000",
                "PRIVATE/M4ROOT/CLIP/C0003.MP4 video 슬레이트 1700000000.500000 mtime"}));
  // Only audio and video are probed, each once.
  EXPECT_EQ(seen.size(), 5u);
  EXPECT_EQ(s.rows[6].meta, metas["C0002.MP4"]);

  // Sidecars by name beside their clip; kinds by extension.
  for (const char* name : {"C0001M01.XML", "C0001_proxy.mov"})
    EXPECT_TRUE(isSidecar(std::string("/c/CLIP/") + name, "/c/CLIP/C0001.MP4")) << name;
  for (const char* name :
       {"CLIP/C00012.MP4", "CLIP/C0001\xef\xbc\x92.XML" /* full-width 2 */, "SUB/C0001M01.XML"})
    EXPECT_FALSE(isSidecar(std::string("/c/") + name, "/c/CLIP/C0001.MP4")) << name;
  for (auto [path, kind] : {std::pair{"x.Mxf", std::optional{Kind::video}},
                            {"a.AIFF", Kind::audio},
                            {"a.CR3", Kind::photo},
                            {"mp4", std::nullopt},
                            {"dir.mp4/file", std::nullopt}})
    EXPECT_EQ(kindOf(path), kind) << path;

  // Spanned clips share the first part's class. Each call of the classifier gives a new class, so
  // a shared class shows a continuation. Only the first card's B continues A; C is too small, and
  // in the others B is too small, in another folder or after audio.
  auto classes = [](std::vector<std::pair<const char*, int64_t>> files) {
    TempDir d;
    for (auto [rel, size] : files) touch(d.path, rel, size);
    int n = 0;
    auto none = [](const std::string&) { return Meta{}; };
    auto numbered = [&](const Meta&) { return "c" + std::to_string(++n); };
    std::string out;
    for (const Row& r : scan(d.path, CameraRole::none, none, numbered).rows)
      out += r.cls + (r.span ? "+ " : " ");
    return out;
  };
  const int64_t big = 4'294'967'295, next = 1'200'000'000;
  EXPECT_EQ(classes({{"D/A.MP4", big}, {"D/B.MP4", next}, {"D/C.MP4", 1'000}}), "c1 c1+ c2 ");
  EXPECT_EQ(classes({{"A.MP4", 4'000'000'000}, {"B.MP4", next}}), "c1 c2 ");
  EXPECT_EQ(classes({{"X/A.MP4", big}, {"Y/B.MP4", next}}), "c1 c2 ");
  EXPECT_EQ(classes({{"A.MP4", big}, {"B.WAV", 1'000}, {"C.MP4", next}}), "c1 오디오 c2 ");
}

}  // namespace
}  // namespace tolverdine
