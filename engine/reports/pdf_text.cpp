#include "engine/reports/pdf_text.h"

#include <utf8proc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "engine/base/term_text.h"
#include "engine/base/text.h"
#include "engine/base/version.h"
#include "engine/hashlist/mhl_complete.h"
#include "engine/reports/reports.h"
#include "engine/store/store.h"
#include "os/host.h"

namespace tolverdine {

namespace {
const Rgb kInk = Rgb::grey(0.1);
const Rgb kMuted = Rgb::grey(0.35);
const std::vector<double> kFactTabs = {70};
// A destination's count, "123456/123456 검증", is never shortened.
const std::vector<double> kDestTabs = {120};
const std::vector<double> kClipTabs = {150, 200, 265, 315, 420};

std::string infoValue(const std::map<std::string, std::string>& info, const std::string& key) {
  auto it = info.find(key);
  return it == info.end() ? "" : it->second;
}

// Grapheme clusters, so that a cut never splits a syllable or an accent from its letter.
std::vector<std::string> graphemes(const std::string& s) {
  std::vector<std::string> out;
  auto p = reinterpret_cast<const utf8proc_uint8_t*>(s.data());
  utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(s.size());
  utf8proc_int32_t prev = -1, state = 0;
  while (left > 0) {
    utf8proc_int32_t c;
    utf8proc_ssize_t n = utf8proc_iterate(p, left, &c);
    if (n <= 0) break;  // printable() has made the text valid
    if (prev < 0 || utf8proc_grapheme_break_stateful(prev, c, &state) || out.empty())
      out.emplace_back();
    out.back().append(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
    prev = c;
    p += n;
    left -= n;
  }
  return out;
}

std::string duration(const std::optional<double>& dur) {
  if (!dur || !std::isfinite(*dur) || *dur < 0 || *dur > 1e12) return "";
  auto s = static_cast<long long>(std::trunc(*dur));
  char buf[48];
  std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
  return buf;
}

std::string sizeGB(const std::vector<Row>& rows) {
  double sum = 0;
  for (const auto& r : rows) sum += static_cast<double>(r.size);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", sum / 1e9);
  return buf;
}

std::vector<std::string> splitLines(const std::string& s) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at <= s.size()) {
    size_t nl = s.find('\n', at);
    if (nl == std::string::npos) nl = s.size();
    if (nl > at) out.push_back(s.substr(at, nl - at));
    at = nl + 1;
  }
  return out;
}
}  // namespace

Rgb verdictColour(CardColor c) {
  switch (c) {
    case CardColor::yellow: return {0.7, 0.5, 0.0};
    case CardColor::green: return {0.1, 0.5, 0.2};
    case CardColor::gray:
    case CardColor::red: break;
  }
  return {0.75, 0.1, 0.1};
}

std::string verdictText(const IngestResult& result, int copiesRequired) {
  switch (result.color) {
    case CardColor::gray: return "대기";
    case CardColor::red: return "빨강 — 실패 또는 멈춤이 있습니다. 카드를 포맷하지 마세요.";
    case CardColor::yellow:
      return "노랑 — 검증 사본이 " + std::to_string(copiesRequired) + "곳에 못 미치는 파일 " +
             std::to_string(result.underCopied) + "개. 카드를 비우지 마세요.";
    case CardColor::green:
      return "초록 — 검증 사본 " + std::to_string(copiesRequired) +
             "곳 이상. 카메라에서 포맷해도 됩니다.";
  }
  return "대기";
}

std::string printable(const std::string& s) {
  std::string out;
  auto p = reinterpret_cast<const utf8proc_uint8_t*>(s.data());
  utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(s.size());
  while (left > 0) {
    utf8proc_int32_t c;
    utf8proc_ssize_t n = utf8proc_iterate(p, left, &c);
    if (n <= 0) {
      out += "\xEF\xBF\xBD";
      ++p;
      --left;
      continue;
    }
    if (c < 0x20 || c == 0x7f) out += ' ';
    else out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
    p += n;
    left -= n;
  }
  return out;
}

std::string shortenToFit(const std::string& text,
                         const std::function<bool(const std::string&)>& fits) {
  if (fits(text)) return text;
  auto g = graphemes(text);
  auto cut = [&](size_t keep) {  // keep characters from each end
    std::string out;
    for (size_t i = 0; i < keep; ++i) out += g[i];
    out += "…";
    for (size_t i = g.size() - keep; i < g.size(); ++i) out += g[i];
    return out;
  };
  // The most kept from each end that still fits, found by halving.
  size_t lo = 0, hi = g.size() / 2;
  while (lo < hi) {
    size_t mid = (lo + hi + 1) / 2;
    if (fits(cut(mid))) lo = mid;
    else hi = mid - 1;
  }
  return cut(lo);
}

std::string footerText(const ReportInput& in, int page) {
  return printable(infoValue(in.info, "project")) + " · " + printable(in.cam) + " · " +
         std::to_string(page) + "쪽";
}

TextRun clipLine(const Row& r, const std::optional<std::string>& hash) {
  std::string picture;
  if (r.kind == Kind::video) {
    picture = printable(r.meta.res.value_or(""));
    if (r.meta.fps) picture += " @" + shortestDecimal(*r.meta.fps);
  }
  // A name too wide for its column is shortened where it is drawn, by its measured width.
  std::string line = nfc(printable(lastComponent(r.src))) + "\t" + printable(r.cls) + "\t" +
                     printable(r.session.value_or("")) + "\t" + duration(r.meta.dur) + "\t" +
                     picture + "\t" + hash.value_or("—") + "\n";
  return {line, 8, false, kInk, kClipTabs};
}

std::vector<TextRun> reportText(const std::vector<Row>& rows, const IngestResult& result,
                                const ReportInput& in, Store& store) {
  auto info = [&](const std::string& k) { return printable(infoValue(in.info, k)); };
  const Rgb verdict = verdictColour(result.color);
  const std::string cam = printable(in.cam);
  std::vector<TextRun> t;

  t.push_back({"TOLVERDINE 인제스트 리포트\n", 18, true, kInk, {}});
  std::string sub = info("project") + " · " + cam;
  if (!in.camera.empty()) sub += " (" + printable(in.camera) + ")";
  t.push_back({sub + "\n\n", 11, false, kMuted, {}});
  t.push_back({verdictText(result, in.copiesRequired) + "\n\n", 12, true, verdict, {}});

  int video = 0, photo = 0, audio = 0, etc = 0;
  for (const auto& r : rows) {
    if (r.kind == Kind::video) ++video;
    if (r.kind == Kind::photo) ++photo;
    if (r.kind == Kind::audio) ++audio;
    if (r.kind == Kind::etc) ++etc;
  }
  std::string card = info("card");
  if (card.empty()) card = info("src");
  if (!info("volume").empty()) card += " · 볼륨 " + info("volume");
  std::vector<std::pair<std::string, std::string>> facts = {
      {"촬영일", info("date")},
      {"받은 시각", localTime(in.now, "%Y-%m-%d %H:%M:%S")},
      {"파일", std::to_string(rows.size()) + "개 · " + sizeGB(rows) + "GB · 새로 복사 " +
                   std::to_string(result.copied) + " · 기존 " + std::to_string(result.skipped) +
                   " · 실패 " + std::to_string(result.failed.size())},
      {"카드", card},
      {"클립", "영상 " + std::to_string(video) + " · 사진 " + std::to_string(photo) + " · 오디오 " +
                   std::to_string(audio) + " · 부속 " + std::to_string(etc)},
      {"검증", "XXH64, 목적지를 다시 읽어 카드 해시와 대조 (ASC MHL: ascmhl/)"},
      {"소스", info("src")},
      {"도구", std::string("TOLVERDINE ") + toolVersion() + " · " + printable(hostName())},
  };
  if (in.operatorName && !in.operatorName->empty())
    facts.push_back({"운영자", printable(*in.operatorName)});
  for (const auto& [label, value] : facts)
    t.push_back({label + "\t" + value + "\n", 9.5, false, kInk, kFactTabs});

  // Where a file went other than its plain place (a still beside another camera's same-named
  // one), as the job summary file says it.
  if (auto notes = splitLines(infoValue(in.info, "notes")); !notes.empty()) {
    t.push_back({"\n참고\n", 12, true, kInk, {}});
    for (const auto& n : notes) t.push_back({printable(n) + "\n", 9.5, false, kInk, {}});
  }

  t.push_back({"\n목적지별 검증\n", 12, true, kInk, {}});
  std::set<std::string> lost(result.lostDests.begin(), result.lostDests.end());
  // This destination's hashes, asked once: counted here and listed with the clips below.
  const std::vector<std::optional<std::string>> here =
      hashesOn(in.root, rows, result, in.cam, store);
  auto counted = [](const std::vector<std::optional<std::string>>& hs) {
    return static_cast<size_t>(
        std::count_if(hs.begin(), hs.end(), [](const auto& h) { return h.has_value(); }));
  };
  for (const auto& d : splitLines(infoValue(in.info, "dests"))) {
    const size_t count =
        d == in.root ? counted(here) : counted(hashesOn(d, rows, result, in.cam, store));
    bool gone = lost.count(d) > 0;
    std::string status =
        gone ? "분리됨" : std::to_string(count) + "/" + std::to_string(rows.size()) + " 검증";
    t.push_back({status + "\t" + printable(d) + "\n", 9.5, false,
                 gone || count < rows.size() ? verdict : kInk, kDestTabs});
  }

  if (!result.failed.empty()) {
    t.push_back({"\n실패\n", 12, true, verdict, {}});
    for (const auto& f : result.failed)
      t.push_back({printable(f.rel) + "\n    " + printable(f.why) + "\n", 8.5, false, verdict, {}});
  }

  std::vector<std::string> unlisted = unlistableNames(rows);
  if (!unlisted.empty()) {
    t.push_back({"\n" + std::string(kUnlistedHeading) + "\n", 12, true, verdict, {}});
    for (const auto& n : unlisted) t.push_back({printableName(n) + "\n", 8.5, false, verdict, {}});
  }

  t.push_back({"\n클립\n", 12, true, kInk, {}});
  t.push_back({"파일\t분류\t세션\t길이\t해상도·fps\txxh64\n", 8, true, kMuted, kClipTabs});
  for (size_t i = 0; i < rows.size(); ++i)
    if (rows[i].kind != Kind::etc) t.push_back(clipLine(rows[i], here[i]));
  if (etc > 0)
    t.push_back({"부속 파일(사이드카·썸네일·카드 DB) " + std::to_string(etc) +
                     "개도 함께 복사·검증했습니다.\n",
                 8,
                 false,
                 kMuted,
                 {}});

  t.push_back({"\n\n촬영자 ______________    운영자 서명 ______________    확인 ______________\n",
               10,
               false,
               kInk,
               {}});
  t.push_back(
      {"두 사본을 서로 다른 가방·장소에 두었는가 □      첫·중간·마지막 클립을 재생해 보았는가 □\n",
       9,
       false,
       kMuted,
       {}});
  return t;
}

}  // namespace tolverdine
