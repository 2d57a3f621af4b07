#include "engine/library/library.h"

#include <gtest/gtest.h>

#include "engine/copy/folder_check.h"
#include "engine/copy/ingest_test_util.h"
#include "engine/copy/preflight.h"
#include "engine/layout/rules.h"
#include "engine/library/report_clips.h"
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
    for (const auto& d : {d1, d2}) mkdirs(d);
    for (const char* rel :
         {"CLIP/C0012.MP4", "CLIP/C0012_01.MP4", "CLIP/CX012.MP4", "CLIP/100%.MP4"})
      rows.push_back(
          cardRow(card, rel, 4000 + rows.size(), static_cast<unsigned>(rows.size()) + 3));
    runIngest(rows, card, kCam, {d1, d2}, NameSet::ko(), store, 2, {}, plenty, {});
  }
};
}  // namespace

TEST(Library, SearchSuggestionsAndReportClips) {
  Library l;
  std::set<std::string> ids;
  for (const auto& h : librarySearch(l.store, "A캠")) ids.insert(h.id());
  EXPECT_EQ(ids.size(), 8u);  // four clips on two drives, one row per destination
  // How "%" and "_" match is the store's test, against a plain statement; here hostile text.
  auto under = librarySearch(l.store, "C0012_");
  ASSERT_EQ(under.size(), 2u);
  EXPECT_EQ(under[0].name(), "C0012_01.MP4");
  for (const std::string& q : {std::string("\"; DROP TABLE copy; --"), std::string(10000, '%')})
    EXPECT_TRUE(librarySearch(l.store, q).empty()) << q.substr(0, 20);
  EXPECT_EQ(dbRows(l.store), 8);  // nothing was dropped
  EXPECT_TRUE(runSearch(l.store, " \t\u3000 ").hits.empty());
  EXPECT_EQ(runSearch(l.store, "  CX012 ").hits.size(), 2u);
  EXPECT_FALSE(runSearch("/proc/no/such/db.sqlite", "x"));

  // When moves become a suggestion is the store's test; here its text and the rule it adds.
  for (int i = 0; i < 5; ++i)
    l.store.appendMove("FX3", "인터뷰", "풀샷", "r" + std::to_string(i), isoNow());
  auto s = runSearch(l.store, "").suggestions;
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(suggestionText(s[0]), "FX3 은(는) 항상 풀샷 (5번 옮김)");
  PresetMap presets = Presets::defaults();
  const std::string name = presets.begin()->first;
  const size_t before = Presets::rulesFor(presets, name).size();
  const std::string custom = l.dir.path + "/presets.json";
  EXPECT_EQ(accept(s[0], presets, name, custom), "규칙 추가: FX3 → 풀샷 (" + name + ")");
  accept(s[0], presets, name, custom);  // again: still one copy of the rule
  auto after = Presets::rulesFor(Presets::loadAll("/nonexistent", custom), name);
  ASSERT_EQ(after.size(), before + 1);
  EXPECT_EQ(after[0], (Rule{"풀샷", {}, {}, {}, "FX3"}));
  EXPECT_EQ(accept(s[0], presets, name, "/proc/ro/presets.json").rfind("규칙 저장 실패: ", 0), 0u);

  // A report's clips: only videos with a place on the first destination, by their view where they
  // have one.
  LastJobs jobs;
  jobs["c"] = {l.rows, {l.d1, l.d2}};
  jobs["c"].rows[1].kind = Kind::audio;
  jobs["c"].rows[2].view = "02_분류/풀샷/CX012.MP4";
  jobs["c"].rows[3].dest.reset();
  auto clips = reportClips(std::string("c"), jobs);
  ASSERT_EQ(clips.size(), 2u);
  EXPECT_EQ(clips[0].path, l.d1 + "/" + *l.rows[0].dest);
  EXPECT_EQ(clips[1].path, l.d1 + "/02_분류/풀샷/CX012.MP4");
  auto v = clipVerdicts(clips, kCam, l.store, 2);
  EXPECT_EQ(std::pair(v[0].enough, v[0].verified), std::pair(true, 2));
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
  // The hit of a file whose name holds "_" is found among look-alikes.
  auto hit = reportHit(kCam, l.rows[1], l.d1, l.store);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->key, ingestKey(kCam, l.rows[1]));
  EXPECT_FALSE(reportHit(kCam, l.rows[1], "/elsewhere", l.store));
}

TEST(FolderCheck, ProbesGiveTheTextsAndTheLogLines) {
  TempDir d;
  std::string ok = d.path + "/ok", locked = d.path + "/locked", gone = d.path + "/gone";
  for (const auto& dir : {ok, locked}) mkdirs(dir);
  std::vector<std::string> log;
  // How a denied probe looks to another user is the probe's own test; here every answer's text.
  std::vector<PermCheck> r = runPermissionChecks(
      {ok, gone}, {locked}, {ok, gone}, [&](const std::string& s) { log.push_back(s); },
      [&](const std::string& p) { return p == locked ? EACCES : probeWrite(p); });
  std::vector<std::string> states;
  for (const auto& c : r) states.push_back(c.state + (c.ok ? " ok" : ""));
  EXPECT_EQ(states,
            (std::vector<std::string>{"쓰기 됨 ok", "연결 안 됨",
                                      "권한이 막음 — 폴더의 소유자와 쓰기·읽기 권한을 확인하세요",
                                      "읽기 됨 ok", "연결 안 됨"}));
  EXPECT_EQ(log[1], "권한 점검: " + gone + " · 쓰기 · errno 2");
  auto pending = permissionList({ok}, {}, {gone});
  markUnanswered(pending);
  EXPECT_EQ(pending[1].state, "응답 없음 — 장치가 답하지 않습니다. 연결을 확인하고 다시 꽂으세요");
  EXPECT_TRUE(applyPermResult(pending, gone, false, 0));
  EXPECT_EQ(pending[1].state, "읽기 됨");
  EXPECT_FALSE(applyPermResult(pending, "/old/round", false, 0));
}

}  // namespace tolverdine
