#include "engine/card/scan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

void touch(const std::string& root, const std::string& rel, const std::string& data = "x") {
  mkdirs(parentPath(root + "/" + rel));
  writeFile(root + "/" + rel, data);
}

void setMtime(const std::string& path, int64_t sec, long nsec) {
  timespec ts[2] = {{sec, nsec}, {sec, nsec}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
}

// A sparse file of any size, cheap to make.
void sized(const std::string& root, const std::string& rel, int64_t size) {
  mkdirs(parentPath(root + "/" + rel));
  writeFile(root + "/" + rel, "");
  ASSERT_EQ(::truncate((root + "/" + rel).c_str(), size), 0);
}

TEST(CardDetect, CardsGenericMediaAndOthers) {
  TempDir dcim, braw, mxf, readme, empty, pkg, big;
  mkdirs(dcim.path + "/Dcim");
  touch(braw.path, "A001C001.braw");
  touch(mxf.path, "CLIP0001.MXF");
  touch(readme.path, "readme.txt");
  touch(pkg.path, "Install.pkg");
  touch(big.path, "backup/file.bin");
  EXPECT_TRUE(looksLikeCard(dcim.path));
  EXPECT_TRUE(looksLikeCard(braw.path));
  EXPECT_TRUE(looksLikeCard(mxf.path));
  EXPECT_FALSE(looksLikeCard(readme.path));
  EXPECT_FALSE(looksLikeCard(empty.path));
  EXPECT_FALSE(looksLikeCard(empty.path + "/missing"));
  EXPECT_FALSE(isCard(dcim.path, false));
  EXPECT_TRUE(hasInstaller(pkg.path));
  EXPECT_FALSE(hasInstaller(empty.path + "/missing"));

  const int64_t tb2 = 2'000'000'000'000, tb4 = 4'000'000'000'000;
  EXPECT_EQ(decideCard(dcim.path, true, false, std::nullopt), CardDecision::card);
  EXPECT_EQ(decideCard(big.path, true, false, tb2), CardDecision::generic);
  EXPECT_EQ(decideCard(big.path, true, false, tb4), CardDecision::none);
  EXPECT_EQ(decideCard(big.path, true, true, tb2), CardDecision::none);  // disk image
  EXPECT_EQ(decideCard(pkg.path, true, false, tb2), CardDecision::none);
  EXPECT_EQ(decideCard(big.path, false, false, tb2), CardDecision::none);
  EXPECT_EQ(decideCard(big.path, true, false, std::nullopt), CardDecision::none);
  EXPECT_EQ(decideCard(big.path, true, false, 0), CardDecision::none);
  EXPECT_TRUE(isSmallVolume(2'200'000'000'000));
  EXPECT_FALSE(isSmallVolume(2'200'000'000'001));

  EXPECT_TRUE(isDiskImage(std::string("Disk Image"), std::nullopt));
  EXPECT_TRUE(isDiskImage(std::nullopt, std::string("Virtual Interface")));
  EXPECT_FALSE(isDiskImage(std::string("SD Card Reader"), std::string("USB")));
  EXPECT_FALSE(isDiskImage(std::nullopt, std::nullopt));
}

TEST(QuickList, RelativeNfcPathsSizesAndTimes) {
  TempDir d;
  const std::string nfd = "\xe1\x84\x92\xe1\x85\xa1\xe1\x86\xab";  // 한, decomposed
  mkdirs(d.path + "/DCIM");
  // Written by hand: the file helpers would store the name composed.
  int fd = ::open((d.path + "/DCIM/" + nfd + ".MP4").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "12345", 5), 5);
  ::close(fd);
  setMtime(d.path + "/DCIM/" + nfd + ".MP4", 1'700'000'000, 123'456'789);
  CardList l = quickList(d.path + "/DCIM/../");
  ASSERT_EQ(l.files.size(), 1u);
  EXPECT_EQ(l.files[0], (CardFile{"DCIM/\xed\x95\x9c.MP4", 5, 1'700'000'000'123'456'789}));
  EXPECT_TRUE(l.errors.empty());
}

TEST(SettledList, ReturnsWhenStillOrAfterTheLastTry) {
  TempDir d;
  touch(d.path, "DCIM/A.MP4");
  int sleeps = 0;
  CardList still = settledList(d.path, 0, 10, [&](double) { ++sleeps; });
  EXPECT_EQ(sleeps, 1);
  EXPECT_EQ(still.files.size(), 1u);

  // A card still being written: every try finds one more file.
  sleeps = 0;
  CardList moving = settledList(d.path, 1, 10, [&](double s) {
    EXPECT_EQ(s, 1);
    touch(d.path, "DCIM/B" + std::to_string(++sleeps) + ".MP4");
  });
  EXPECT_EQ(sleeps, 10);
  EXPECT_EQ(moving.files.size(), 11u);

  sleeps = 0;
  EXPECT_EQ(settledList(d.path, 1, 0, [&](double) { ++sleeps; }).files.size(), 11u);
  EXPECT_EQ(sleeps, 0);
}

struct Probes {
  std::vector<std::string> seen;
  std::map<std::string, Meta> metas;  // by file name
  Probe fn() {
    return [this](const std::string& p) {
      seen.push_back(lastComponent(p));
      auto it = metas.find(lastComponent(p));
      return it == metas.end() ? Meta{} : it->second;
    };
  }
};

const Row& byRel(const ScanResult& s, const std::string& rel) {
  for (const auto& r : s.rows)
    if (r.rel == rel) return r;
  throw std::runtime_error("no row " + rel);
}

TEST(Scan, KindsClassesAndTimes) {
  TempDir d;
  for (const char* rel :
       {"DCIM/100MSDCF/THMBNL/C0001T01.JPG", "DCIM/100CANON/IMG_0001.JPG",
        "PRIVATE/M4ROOT/CLIP/C0001.MP4", "PRIVATE/M4ROOT/CLIP/C0001M01.XML",
        "PRIVATE/M4ROOT/CLIP/C0002.MP4", "AUDIO/ZOOM0001.WAV", "AUDIO/ZOOM0002.WAV"})
    touch(d.path, rel);
  for (const char* rel :
       {"DCIM/100CANON/IMG_0001.JPG", "PRIVATE/M4ROOT/CLIP/C0001.MP4",
        "PRIVATE/M4ROOT/CLIP/C0002.MP4", "AUDIO/ZOOM0001.WAV", "AUDIO/ZOOM0002.WAV"})
    setMtime(d.path + "/" + rel, 1'700'000'000, 500'000'000);
  Probes p;
  p.metas["C0002.MP4"] = Meta{1'600'000'000.0, 12.0, 2, "3840x2160", 25.0};
  p.metas["ZOOM0002.WAV"] = Meta{1'600'000'100.0, 30.0, 2, std::nullopt, std::nullopt};
  ScanResult s = scan(d.path, CameraRole::none, p.fn(), [](const Meta&) { return "기타"; });

  EXPECT_TRUE(s.errors.empty());
  ASSERT_EQ(s.rows.size(), 7u);
  // Only audio and video are probed, one by one in walk order.
  EXPECT_EQ(p.seen,
            (std::vector<std::string>{"ZOOM0001.WAV", "ZOOM0002.WAV", "C0001.MP4", "C0002.MP4"}));

  const Row& thumb = byRel(s, "DCIM/100MSDCF/THMBNL/C0001T01.JPG");
  EXPECT_EQ(thumb.kind, Kind::etc);
  EXPECT_EQ(thumb.cls, "부속");
  EXPECT_EQ(thumb.meta, Meta{});
  const Row& photo = byRel(s, "DCIM/100CANON/IMG_0001.JPG");
  EXPECT_EQ(photo.kind, Kind::photo);
  EXPECT_EQ(photo.cls, "사진");
  EXPECT_EQ(photo.meta.t, 1'700'000'000.5);
  EXPECT_FALSE(photo.tFromMtime);
  EXPECT_EQ(byRel(s, "PRIVATE/M4ROOT/CLIP/C0001M01.XML").cls, "부속");

  const Row& noTimeVideo = byRel(s, "PRIVATE/M4ROOT/CLIP/C0001.MP4");
  EXPECT_EQ(noTimeVideo.kind, Kind::video);
  EXPECT_EQ(noTimeVideo.meta.t, 1'700'000'000.5);
  EXPECT_TRUE(noTimeVideo.tFromMtime);
  EXPECT_EQ(noTimeVideo.cls, "기타");
  const Row& video = byRel(s, "PRIVATE/M4ROOT/CLIP/C0002.MP4");
  EXPECT_EQ(video.meta, p.metas["C0002.MP4"]);
  EXPECT_FALSE(video.tFromMtime);
  EXPECT_FALSE(video.span);

  const Row& noTimeAudio = byRel(s, "AUDIO/ZOOM0001.WAV");
  EXPECT_EQ(noTimeAudio.cls, "오디오");
  EXPECT_EQ(noTimeAudio.meta.t, 1'700'000'000.5);
  EXPECT_FALSE(noTimeAudio.tFromMtime);
  EXPECT_EQ(byRel(s, "AUDIO/ZOOM0002.WAV").meta.t, 1'600'000'100.0);
}

TEST(Scan, CameraRoleOverridesAllButSlatesAndUnknownDurations) {
  TempDir d;
  touch(d.path, "CLIP/A.MP4");
  touch(d.path, "CLIP/B.MP4");
  touch(d.path, "CLIP/C.MP4");
  Probes p;
  p.metas["A.MP4"].dur = 5;
  p.metas["B.MP4"].dur = 60;  // C has no duration
  Classify cls = [](const Meta& m) {
    return m.dur == 5.0 ? "슬레이트" : m.dur ? "인서트" : "기타";
  };
  // Which role gives which class is the rules' test; here the scan must apply it.
  std::vector<std::string> classes;
  for (const auto& r : scan(d.path, CameraRole::interview, p.fn(), cls).rows)
    classes.push_back(r.cls);
  EXPECT_EQ(classes, (std::vector<std::string>{"슬레이트", "인터뷰", "기타"}));
}

TEST(Scan, SpannedClipsShareTheFirstPartsClass) {
  // Each call of the classifier gives a new class, so a shared class shows a continuation.
  auto run = [](const std::string& root) {
    int n = 0;
    Probes p;
    return scan(root, CameraRole::none, p.fn(),
                [&](const Meta&) { return "c" + std::to_string(++n); })
        .rows;
  };
  TempDir d;
  sized(d.path, "DCIM/100GOPRO/A.MP4", 4'294'967'295);
  sized(d.path, "DCIM/100GOPRO/B.MP4", 1'200'000'000);
  sized(d.path, "DCIM/100GOPRO/C.MP4", 1'000);
  auto rows = run(d.path);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].size, 4'294'967'295);
  EXPECT_FALSE(rows[0].span);
  EXPECT_TRUE(rows[1].span);
  EXPECT_EQ(rows[1].cls, rows[0].cls);
  EXPECT_FALSE(rows[2].span);  // B is too small to be continued
  EXPECT_NE(rows[2].cls, rows[0].cls);

  TempDir small, folders, audio;
  sized(small.path, "A.MP4", 4'000'000'000);
  sized(small.path, "B.MP4", 1'200'000'000);
  sized(folders.path, "X/A.MP4", 4'294'967'295);
  sized(folders.path, "Y/B.MP4", 1'200'000'000);
  sized(audio.path, "A.MP4", 4'294'967'295);
  sized(audio.path, "B.WAV", 1'000);
  sized(audio.path, "C.MP4", 1'200'000'000);
  for (const auto* root : {&small, &folders, &audio}) {
    auto r = run(root->path);
    EXPECT_FALSE(r.back().span) << root->path;
    EXPECT_NE(r.back().cls, r.front().cls) << root->path;
  }
}

TEST(Scan, ReportsFoldersThatCannotBeListed) {
  struct FailDcim : WalkFs {
    std::string bad;
    int list(const std::string& p, std::vector<std::string>& names) const override {
      return p == bad ? EIO : WalkFs::list(p, names);
    }
  };
  TempDir d;
  touch(d.path, "DCIM/100CANON/IMG_0001.JPG");
  touch(d.path, "DCIM/101CANON/IMG_0101.JPG");
  FailDcim f;
  f.bad = d.path + "/DCIM/101CANON";
  Probes p;
  ScanResult s = scan(
      d.path, CameraRole::none, p.fn(), [](const Meta&) { return "기타"; }, f);
  EXPECT_EQ(s.rows.size(), 1u);
  EXPECT_EQ(s.errors, (std::vector<ListingError>{{"DCIM/101CANON", EIO}}));
  CardList l = quickList(d.path, f);
  EXPECT_EQ(l.files.size(), 1u);
  EXPECT_EQ(l.errors, s.errors);
}

TEST(Scan, SidecarsAndKinds) {
  EXPECT_TRUE(isSidecar("/c/CLIP/C0001M01.XML", "/c/CLIP/C0001.MP4"));
  EXPECT_TRUE(isSidecar("/c/CLIP/C0001.XML", "/c/CLIP/C0001.MP4"));
  EXPECT_TRUE(isSidecar("/c/CLIP/C0001_proxy.mov", "/c/CLIP/C0001.MP4"));
  EXPECT_FALSE(isSidecar("/c/CLIP/C00012.MP4", "/c/CLIP/C0001.MP4"));
  EXPECT_FALSE(isSidecar("/c/CLIP/C0001\xef\xbc\x92.XML", "/c/CLIP/C0001.MP4"));  // full-width 2
  EXPECT_FALSE(isSidecar("/c/SUB/C0001M01.XML", "/c/CLIP/C0001.MP4"));
  EXPECT_FALSE(isSidecar("/c/CLIP/C000.XML", "/c/CLIP/C0001.MP4"));

  EXPECT_EQ(kindOf("A/B.MOV"), Kind::video);
  EXPECT_EQ(kindOf("x.Mxf"), Kind::video);
  EXPECT_EQ(kindOf("a.AIFF"), Kind::audio);
  EXPECT_EQ(kindOf("a.CR3"), Kind::photo);
  EXPECT_EQ(kindOf("a.xml"), std::nullopt);
  EXPECT_EQ(kindOf("mp4"), std::nullopt);
  EXPECT_EQ(kindOf("dir.mp4/file"), std::nullopt);
}

}  // namespace
}  // namespace tolverdine
