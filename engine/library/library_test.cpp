#include "engine/library/library.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/copy/folder_check.h"
#include "engine/copy/ingest_test_util.h"
#include "engine/copy/preflight.h"
#include "engine/layout/rules.h"
#include "engine/library/report_clips.h"
#include "engine/media/probe.h"
#include "engine/media/thumbnail.h"
#include "engine/reports/terms.h"

namespace tolverdine {
using namespace testing;

namespace {
struct Library {
  TempDir dir;
  TempDrive one, two;
  std::string card = dir.path + "/card", d1 = one.path + "/SSD1", d2 = two.path + "/SSD2";
  Store store{dir.path + "/db.sqlite"};
  std::vector<Row> rows;
  Library() {
    mkdirs(d1);
    mkdirs(d2);
    for (const char* rel :
         {"CLIP/C0012.MP4", "CLIP/C0012_01.MP4", "CLIP/CX012.MP4", "CLIP/100%.MP4"})
      rows.push_back(
          cardRow(card, rel, 4000 + rows.size(), static_cast<unsigned>(rows.size()) + 3));
    runIngest(rows, card, kCam, {d1, d2}, NameSet::ko(), store, 2, {}, plenty, {});
  }
};
}  // namespace

TEST(Library, SearchIsLiteralAndSurvivesHostileText) {
  Library l;
  std::set<std::string> ids;
  for (const auto& h : librarySearch(l.store, "A캠")) ids.insert(h.id());
  EXPECT_EQ(ids.size(), 8u);  // four clips on two drives, one row per destination
  // How "%" and "_" match is the store's test, against a plain statement; here hostile text.
  auto under = librarySearch(l.store, "C0012_");
  ASSERT_EQ(under.size(), 2u);
  EXPECT_EQ(under[0].name(), "C0012_01.MP4");
  for (const std::string& q : {std::string("' OR 1=1 --"), std::string("\"; DROP TABLE copy; --"),
                               std::string(10000, '%'), std::string("\xff\xfe C0012")})
    EXPECT_TRUE(librarySearch(l.store, q).empty()) << q.substr(0, 20);
  EXPECT_EQ(dbRows(l.store), 8);  // nothing was dropped
  EXPECT_TRUE(runSearch(l.store, " \t\u3000 ").hits.empty());
  EXPECT_EQ(runSearch(l.store, "  CX012 ").hits.size(), 2u);
  EXPECT_FALSE(runSearch("/proc/no/such/db.sqlite", "x"));
}

// When moves become a suggestion is the store's test; here its text and the rule it adds.
TEST(Library, FiveMovesSuggestAndAcceptedRuleClassifiesNextClip) {
  Library l;
  for (int i = 0; i < 5; ++i)
    l.store.appendMove("FX3", "인터뷰", "풀샷", "r" + std::to_string(i), isoNow());
  auto s = runSearch(l.store, "").suggestions;
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(suggestionText(s[0]), "FX3 은(는) 항상 풀샷 (5번 옮김)");
  PresetMap presets = Presets::defaults();
  const std::string name = presets.begin()->first;
  auto before = Presets::rulesFor(presets, name);
  const std::string custom = l.dir.path + "/presets.json";
  EXPECT_EQ(accept(s[0], presets, name, custom), "규칙 추가: FX3 → 풀샷 (" + name + ")");
  auto after = Presets::rulesFor(Presets::loadAll("/nonexistent", custom), name);
  ASSERT_EQ(after.size(), before.size() + 1);
  EXPECT_EQ(after[0], (Rule{"풀샷", {}, {}, {}, "FX3"}));
  accept(s[0], presets, name, custom);  // again: still one copy of the rule
  EXPECT_EQ(Presets::rulesFor(presets, name).size(), before.size() + 1);
  std::string note = accept(s[0], presets, name, "/proc/ro/presets.json");
  EXPECT_EQ(note.rfind("규칙 저장 실패: ", 0), 0u) << note;
}

TEST(Library, ReportClipsVerdictsAndSpotCheck) {
  Library l;
  LastJobs jobs;
  EXPECT_TRUE(reportClips(std::string("c"), jobs).empty());
  jobs["c"] = {l.rows, {}};
  EXPECT_TRUE(reportClips(std::string("c"), jobs).empty());  // no roots
  jobs["c"].roots = {l.d1, l.d2};
  jobs["c"].rows[1].kind = Kind::audio;
  jobs["c"].rows[2].view = "02_분류/풀샷/CX012.MP4";
  jobs["c"].rows[3].dest.reset();
  auto clips = reportClips(std::string("c"), jobs);
  ASSERT_EQ(clips.size(), 2u);
  EXPECT_EQ(clips[0].path, l.d1 + "/" + *l.rows[0].dest);
  EXPECT_EQ(clips[1].path, l.d1 + "/02_분류/풀샷/CX012.MP4");
  auto v = clipVerdicts(clips, kCam, l.store, 2);
  EXPECT_TRUE(v[0].enough);
  EXPECT_EQ(v[0].verified, 2);
  l.store.record(ingestKey(kCam, l.rows[0]), l.d2, *l.rows[0].dest, 1, std::nullopt,
                 CopyState::failed, 1);
  EXPECT_FALSE(clipVerdicts(clips, kCam, l.store, 2)[0].enough);
  for (auto [n, picks] : std::vector<std::pair<size_t, std::set<size_t>>>{
           {0, {}}, {1, {0}}, {2, {0, 1}}, {5, {0, 2, 4}}})
    EXPECT_EQ(spotCheckIndexes(n), picks) << n;
  using S = CardStanding;
  const CardColor g = CardColor::green;
  EXPECT_EQ(worstColor({}), CardColor::gray);
  EXPECT_EQ(worstColor({{S::finished, g}}), g);
  EXPECT_EQ(worstColor({{S::finished, g}, {S::running, CardColor::gray}}), CardColor::red);
  EXPECT_EQ(worstColor({{S::finished, CardColor::yellow}, {S::other, g}}), CardColor::yellow);
  EXPECT_EQ(menuTitle(CardColor::green, 2), "포맷 가능 2");
  EXPECT_EQ(menuTitle(CardColor::gray, 0), "TOLVERDINE");
  // The hit of a file whose name holds "_" is found among look-alikes.
  auto hit = reportHit(kCam, l.rows[1], l.d1, l.store);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->key, ingestKey(kCam, l.rows[1]));
  EXPECT_FALSE(reportHit(kCam, l.rows[1], "/elsewhere", l.store));
}

TEST(Terms, FingerprintFollowsTheTextAndTheStoredValue) {
  TempDir d;
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(termsLanguage(std::string("en")), "en");
  EXPECT_EQ(termsLanguage(std::string("en-GB")), "ko");
  EXPECT_EQ(termsLanguage(std::nullopt), "ko");
  writeFile(d.path + "/EULA.ko.md", "약관 1");
  Terms t1 = loadTerms(d.path, "ko");
  EXPECT_TRUE(eulaAccepted(sha256Hex("약관 1"), t1));
  EXPECT_FALSE(eulaAccepted(std::nullopt, t1));
  EXPECT_FALSE(eulaAccepted(t1.fingerprint + " ", t1));
  writeFile(d.path + "/EULA.ko.md", "약관 2");
  EXPECT_FALSE(eulaAccepted(t1.fingerprint, loadTerms(d.path, "ko")));
  EXPECT_NE(loadTerms(d.path, "en").text.find("EULA.en.md"), std::string::npos);
  EXPECT_EQ(acceptanceLogLine(t1), "약관 동의 (" + t1.fingerprint + ")");
}

TEST(FolderCheck, ProbesGiveTheTextsAndTheLogLines) {
  TempDir d;
  std::string ok = d.path + "/ok", locked = d.path + "/locked", gone = d.path + "/gone";
  mkdirs(ok);
  mkdirs(locked);
  std::vector<std::string> log;
  // How a denied probe looks to another user is the probe's own test; here every answer's text.
  std::vector<PermCheck> r = runPermissionChecks(
      {ok, gone}, {locked}, {ok, gone}, [&](const std::string& s) { log.push_back(s); },
      [&](const std::string& p) { return p == locked ? EACCES : probeWrite(p); });
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0].state + (r[0].ok ? " ok" : ""), "쓰기 됨 ok");
  EXPECT_EQ(r[1].state, "연결 안 됨");
  EXPECT_EQ(r[2].state + (r[2].ok ? " ok" : ""),
            "권한이 막음 — 폴더의 소유자와 쓰기·읽기 권한을 확인하세요");
  EXPECT_EQ(r[3].state + (r[3].write ? " write" : ""), "읽기 됨");
  EXPECT_EQ(log[0], "권한 점검: " + ok + " · 쓰기 · 됨");
  EXPECT_EQ(log[1], "권한 점검: " + gone + " · 쓰기 · errno 2");
  EXPECT_EQ(permState(true, EROFS), "읽기 전용 — 목적지로 쓸 수 없습니다");
  EXPECT_EQ(permState(true, EIO).rfind("실패 — ", 0), 0u);
  auto pending = permissionList({ok}, {}, {gone});
  markUnanswered(pending);
  EXPECT_EQ(pending[1].state, "응답 없음 — 장치가 답하지 않습니다. 연결을 확인하고 다시 꽂으세요");
  EXPECT_TRUE(applyPermResult(pending, gone, false, 0));
  EXPECT_EQ(pending[1].state, "읽기 됨");
  EXPECT_FALSE(applyPermResult(pending, "/old/round", false, 0));
}

TEST(Thumbnail, FramesOfClipsAndPhotosAndNothingForJunk) {
  if (::access("/usr/bin/ffmpeg", X_OK) != 0) GTEST_SKIP() << "ffmpeg not installed";
  TempDir d;
  const std::string clip = d.path + "/c.mp4", tall = d.path + "/t.mp4", photo = d.path + "/p.png";
  for (auto [file, source] : {std::pair{clip, "size=640x480:rate=10:duration=2 -pix_fmt yuv420p"},
                              {tall, "size=160x320:rate=10:duration=1 -pix_fmt yuv420p"},
                              {photo, "size=1000x500 -frames:v 1"}})
    ASSERT_EQ(
        sh("/usr/bin/ffmpeg -v error -f lavfi -i testsrc=" + std::string(source) + " " + file), 0);
  for (auto [file, format, size] : {std::tuple{clip, ImageFormat::jpeg, "240x180"},
                                    {clip, ImageFormat::png, "240x180"},
                                    {tall, ImageFormat::jpeg, "90x180"},
                                    {photo, ImageFormat::png, "320x160"}}) {
    ThumbnailOptions o;
    o.format = format;
    auto img = makeThumbnail(file, o);
    ASSERT_TRUE(img) << file;
    writeFile(d.path + "/out", std::string(img->begin(), img->end()));
    EXPECT_EQ(avfProbe(d.path + "/out").res, size) << file;
  }
  EXPECT_EQ(fitSize(100, 50, 320, 180), (std::pair<int, int>{100, 50}));  // never enlarged
  // Nothing for junk: an empty file, noise, no name, no file.
  writeFile(d.path + "/empty.mp4", "");
  writePattern(d.path + "/noise.mp4", 100000, 9);
  for (const char* f : {"/empty.mp4", "/noise.mp4", "", "/missing.mp4"})
    EXPECT_FALSE(makeThumbnail(d.path + f)) << f;

  ThumbnailCache cache;
  auto picture = makeThumbnail(clip);
  ASSERT_TRUE(picture);
  cache.put(clip, std::make_shared<const std::vector<uint8_t>>(std::move(*picture)));
  auto cached = cache.get(clip);
  ASSERT_TRUE(cached && *cached);
  writePattern(clip, 1000, 1);  // the file changed: the cached picture is stale
  EXPECT_FALSE(cache.get(clip));
}

}  // namespace tolverdine
