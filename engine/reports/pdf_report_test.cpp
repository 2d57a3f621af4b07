#include "engine/reports/pdf_report.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "engine/base/files.h"
#include "engine/base/names.h"
#include "engine/base/text.h"
#include "engine/reports/pdf_ahead.h"
#include "engine/reports/pdf_text.h"
#include "engine/store/store.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

const std::time_t kNow = 1772703502;  // 2026-03-05 09:38:22 UTC
const std::string kPdfName = "A캠_20260305-093822_ingest.pdf";
const std::string kB = "/mnt/b/20260305_프로젝트";  // the second destination

std::string capture(const std::string& cmd) { return shellOutput(cmd).out; }

int pages(const std::string& pdf) {
  return std::atoi(capture("pdfinfo '" + pdf + "' | awk '/^Pages:/ {print $2}'").c_str());
}

std::string pageText(const std::string& pdf, int first = 1, int last = 0) {
  std::string range = " -f " + std::to_string(first) + (last ? " -l " + std::to_string(last) : "");
  return capture("pdftotext -enc UTF-8" + range + " '" + pdf + "' - 2>/dev/null");
}

Row clip(const std::string& name, Kind kind = Kind::video, int64_t size = 1000) {
  Row r;
  r.src = "/media/card/DCIM/" + name;
  r.rel = "DCIM/" + name;
  r.kind = kind;
  r.size = size;
  r.mtimeNs = 7;
  r.cls = kind == Kind::etc ? "부속" : "인터뷰";
  return r;
}

std::string allText(const std::vector<TextRun>& runs) {
  std::string s;
  for (const auto& r : runs) s += r.text;
  return s;
}

// Every part is in the text.
void expectIn(const std::string& text, const std::vector<std::string>& parts) {
  for (const auto& part : parts)
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
}

const TextRun* runWith(const std::vector<TextRun>& runs, const std::string& part) {
  for (const auto& r : runs)
    if (r.text.find(part) != std::string::npos) return &r;
  return nullptr;
}

struct Fixture {
  ScopedEnv utc{"TZ", "UTC"};
  TempDir t;
  std::string root = t.path + "/20260305_프로젝트";
  Store store{t.path + "/db.sqlite"};
  NameSet names = NameSet::ko();
  std::map<std::string, std::string> info{{"project", "프로젝트"}, {"date", "20260305"},
                                          {"src", "/media/card"},  {"card", "CARD_A"},
                                          {"volume", ""},          {"dests", root + "\n\n" + kB}};
  IngestResult result;
  std::string pdfIn(const std::string& r) const { return r + "/" + names.reports + "/" + kPdfName; }
  std::string pdfPath() const { return pdfIn(root); }
  ReportInput input() const { return {root, "A캠", "", 2, info, std::nullopt, kNow}; }
  // Drawn afresh each time: the report of the second before is taken away first.
  void write(const std::vector<Row>& rows, const std::string& at = "",
             std::optional<std::string> logo = std::nullopt, PdfMemo* memo = nullptr,
             std::optional<std::string> op = std::nullopt, bool keep = false) {
    if (!keep) ::unlink(pdfIn(at.empty() ? root : at).c_str());
    writePDFReport(at.empty() ? root : at, rows, result, "A캠", "", store, 2, names, info, logo, op,
                   kNow, memo);
  }
};

TEST(PdfText, VerdictFactsDestinationsAndClipLines) {
  Fixture fx;
  Row a = clip("A001_C002_0305XY_001_with_a_long_tail.MOV", Kind::video, 2'500'000'000);
  a.meta.dur = 125.9;
  a.meta.res = "3840x2160";
  a.meta.fps = 25;
  a.session = "S1";
  std::vector<Row> rows = {a, clip("B001.WAV", Kind::audio), clip("A001.XML", Kind::etc)};
  for (const auto& r : rows)
    fx.store.record(ingestKey("A캠", r), fx.root, r.rel, r.size, "00112233445566ff",
                    CopyState::verified, 1);
  fx.store.record(ingestKey("A캠", a), kB, a.rel, a.size, "00112233445566ff", CopyState::verified,
                  1);
  fx.result.color = CardColor::yellow;
  fx.result.underCopied = 2;
  fx.result.copied = 3;
  fx.result.failed = {{"DCIM/B001.WAV", kB, "쓰기 실패"}};

  auto runs = reportText(rows, fx.result, fx.input(), fx.store);
  std::string all = allText(runs);
  const TextRun* verdict =
      runWith(runs, "노랑 — 검증 사본이 2곳에 못 미치는 파일 2개. 카드를 비우지 마세요.\n\n");
  ASSERT_NE(verdict, nullptr);
  EXPECT_EQ(verdict->colour, (Rgb{0.7, 0.5, 0.0}));
  // The clip lines skip the sidecar and name it in one sentence; no operator, no line for him.
  // Both destinations listed with their verified counts (the empty line dropped).
  expectIn(all,
           {"파일\t3개 · 2.50GB · 새로 복사 3 · 기존 0 · 실패 1\n",
            "\n실패\nDCIM/B001.WAV\n    쓰기 실패\n", "B001.WAV\t인터뷰\t\t\t\t00112233445566ff\n",
            "부속 파일(사이드카·썸네일·카드 DB) 1개도 함께 복사·검증했습니다.\n",
            "\nA001_C002_0305XY_001_with_a_long_tail.MOV\t인터뷰\tS1\t2:05\t3840x2160 @25.0\t"
            "00112233445566ff\n",
            "3/3 검증\t" + fx.root + "\n", "1/3 검증\t" + kB + "\n"});
  for (const char* absent : {"운영자\t", "A001.XML\t"})
    EXPECT_EQ(all.find(absent), std::string::npos) << absent;

  // What this run verified answers without the database: one more copy on the second drive, and
  // the hash read back here listed for the clip.
  fx.result.verified[fx.root] = {{a, "ffeeddccbbaa9988", std::nullopt}};
  fx.result.verified[kB] = {{rows[1], "0123456789abcdef", std::nullopt}};
  expectIn(allText(reportText(rows, fx.result, fx.input(), fx.store)),
           {"3/3 검증\t" + fx.root + "\n", "2/3 검증\t" + kB + "\n",
            "3840x2160 @25.0\tffeeddccbbaa9988\n", "B001.WAV\t인터뷰\t\t\t\t00112233445566ff\n"});
  fx.result.verified.clear();

  // A lost destination is named as such.
  fx.result.lostDests = {kB};
  expectIn(allText(reportText(rows, fx.result, fx.input(), fx.store)), {"분리됨\t" + kB + "\n"});

  for (auto [c, copies, text] :
       {std::tuple{CardColor::red, 2, "빨강 — 실패 또는 멈춤이 있습니다. 카드를 포맷하지 마세요."},
        {CardColor::green, 3, "초록 — 검증 사본 3곳 이상. 카메라에서 포맷해도 됩니다."},
        {CardColor::gray, 3, "대기"}}) {
    fx.result.color = c;
    EXPECT_EQ(verdictText(fx.result, copies), text);
  }
}

TEST(PdfText, NamesOfAnyBytes) {
  // Cut in the middle by what fits (here at most 25 bytes), never between a letter and its accent.
  std::string accents;
  for (int i = 0; i < 30; ++i) accents += "e\xCC\x81";
  EXPECT_EQ(shortenToFit(accents, [](const std::string& s) { return s.size() <= 25; }),
            accents.substr(0, 9) + "…" + accents.substr(0, 9));
  EXPECT_EQ(printable("a\tb\nc\xff\xfe"), "a b c\xEF\xBF\xBD\xEF\xBF\xBD");

  // Decomposed Hangul on the card is shown composed; a tab in a name does not shift columns.
  Fixture fx;
  std::vector<Row> rows = {clip("\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB.MOV"), clip("tab\tname.MOV")};
  expectIn(allText(reportText(rows, fx.result, fx.input(), fx.store)),
           {"\n한.MOV\t", "\ntab name.MOV\t인터뷰\t\t\t\t—\n"});
}

// One document of several pages, drawn for two destinations at once (they must not share
// drawing state); a second run in the same second keeps the first one's report.
TEST(PdfReport, DrawnForTwoDestinationsAtOnceAndNeverReplaced) {
  Fixture fx;
  std::string other = fx.t.path + "/20260305_둘째";
  const std::string wide(90, 'W');  // twice, the second time measured from memory
  std::vector<Row> rows = {clip("A&B <1> \"q\".MOV"), clip(wide + ".MOV"), clip(wide + ".MOV")};
  for (int i = 0; i < 400; ++i)
    rows.push_back(clip("C" + std::to_string(10000 + i).substr(1) + ".MP4"));
  fx.info["notes"] = "다른 카메라의 같은 이름 사진이 있어 B캠 폴더에 넣음: 1개";
  std::thread a([&] { fx.write(rows, "", std::nullopt, nullptr, "운영자 이름"); });
  std::thread b([&] {
    Store store(fx.t.path + "/db.sqlite");
    writePDFReport(other, rows, fx.result, "A캠", "", store, 2, fx.names, fx.info, std::nullopt,
                   "운영자 이름", kNow);
  });
  a.join();
  b.join();
  const std::string pdf = fx.pdfPath();
  EXPECT_GE(pages(pdf), 5);
  std::string all = pageText(pdf);
  EXPECT_EQ(pageText(fx.pdfIn(other)), all);
  expectIn(all,
           {"A&B <1> \"q\".MOV", "운영자 이름", "B캠 폴더에 넣음: 1개", rows.back().rel.substr(5)});
  // A name wider than its column is shortened in the middle, every time it is drawn.
  EXPECT_EQ(all.find(wide), std::string::npos);
  const std::string shortened = wide.substr(0, 8) + "…";
  EXPECT_NE(all.find(shortened), all.rfind(shortened));

  // No temporary file stays behind.
  const std::string firstBytes = slurp(pdf);
  fx.write({}, "", std::nullopt, nullptr, std::nullopt, true);
  EXPECT_EQ(capture("LC_ALL=C ls -A '" + fx.root + "/" + fx.names.reports + "'"),
            "A캠_20260305-093822-2_ingest.pdf\n" + kPdfName + "\n");
  EXPECT_EQ(slurp(pdf), firstBytes);
}

// A long card's count of verified copies is drawn whole beside each destination; a name in a
// right-to-left script keeps its line's cells in their columns: the hash stays last.
TEST(PdfReport, LongCardsCountAndRightToLeftNameKeepTheirColumns) {
  Fixture fx;
  std::vector<Row> rows = {clip("\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D.MOV"), clip("C0002.MOV")};
  for (int i = 0; i < 12000; ++i) rows.push_back(clip("S" + std::to_string(i) + ".XML", Kind::etc));
  for (const auto& r : rows) fx.result.verified[fx.root].push_back({r, "0011223344556677", {}});
  fx.write(rows);
  expectIn(pageText(fx.pdfPath(), 1, 1), {"12002/12002 검증"});
  const std::string words = capture("pdftotext -bbox '" + fx.pdfPath() + "' - 2>/dev/null");
  int hashes = 0;
  for (size_t at = words.find(">0011223344556677<"); at != std::string::npos;
       at = words.find(">0011223344556677<", at + 1), ++hashes) {
    const size_t x = words.rfind("xMin=\"", at) + 6;
    EXPECT_GT(std::atof(words.c_str() + x), 400.0) << words.substr(x, 12);
  }
  EXPECT_EQ(hashes, 2);
}

// Destinations of one job share drawn bytes only while their reports read the same; a logo
// that is text posing as an image is left out; a file where the reports folder belongs fails.
TEST(PdfReport, MemoBadLogoAndUnwritableFolder) {
  Fixture fx;
  std::vector<Row> rows = {clip("C0001.MOV"), clip("C0002.MOV")};
  std::string other = fx.t.path + "/20260305_둘째", third = fx.t.path + "/20260305_셋째";
  for (const auto& root : {fx.root, other})
    for (const auto& r : rows)
      fx.store.record(ingestKey("A캠", r), root, r.rel, 1000, "00000000000000aa",
                      CopyState::verified, 1);
  PdfMemo memo;
  auto draw = [&](const std::string& root) {
    fx.write(rows, root, std::nullopt, &memo);
    return slurp(fx.pdfIn(root));
  };
  std::string first = draw(fx.root);
  EXPECT_FALSE(memo.bytes.empty());
  EXPECT_EQ(draw(other), first);
  EXPECT_NE(draw(third), first) << "nothing verified on the third: its lines show no hash";

  writeFile(fx.t.path + "/logo.png", "not an image");
  fx.write({}, "", fx.t.path + "/logo.png");
  EXPECT_EQ(pages(fx.pdfPath()), 1);

  Fixture blocked;
  ASSERT_TRUE(mkdirs(blocked.root));
  writeFile(blocked.root + "/" + blocked.names.reports, "a file where the folder belongs");
  try {
    blocked.write({});
    FAIL() << "no WriteFail";
  } catch (const WriteFail& f) {
    EXPECT_EQ(f.path, blocked.pdfPath());
    EXPECT_EQ(f.err, ENOTDIR);
  }
}

// Clip lines laid out while the card is copied, from the copies recorded so far, give the very
// document drawn without them: a line whose copy changed since is laid out anew, a wide name is
// shortened all the same.
TEST(PdfReport, LinesLaidOutDuringTheCopyDrawTheSameDocument) {
  Fixture fx;
  std::vector<Row> rows = {clip(std::string(90, 'W') + ".MOV")};
  for (int i = 0; i < 150; ++i)
    rows.push_back(clip("C" + std::to_string(10000 + i).substr(1) + ".MP4"));
  PdfAhead ahead(fx.t.path + "/db.sqlite", rows, "A캠", fx.root, std::chrono::milliseconds(5));
  // Recorded, and handed over as the run hands over its copies (on root only).
  auto record = [&](size_t from, size_t to, const std::string& hash, const std::string& dest) {
    for (size_t i = from; i < to; ++i) {
      fx.store.record(ingestKey("A캠", rows[i]), dest, rows[i].rel, rows[i].size, hash,
                      CopyState::verified, 1);
      ahead.verified(rows[i], dest, hash);
    }
  };
  record(0, 150, "00000000000000aa", fx.root);
  record(150, 151, "00000000000000aa", kB);
  fx.store.record(ingestKey("A캠", rows[150]), fx.root, rows[150].rel, rows[150].size,
                  "00000000000000aa", CopyState::verified, 1);  // left for the drawing
  for (int i = 0; i < 2000 && ahead.laidOut() < 150; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // ten rounds more
  EXPECT_EQ(ahead.laidOut(), 150u) << "another destination's copy is not laid out";
  record(1, 2, "00000000000000bb", fx.root);  // a copy made again: laid out when drawn
  // The copies recorded, the whole document is drawn as the run is expected to end.
  IngestResult expected = fx.result;
  expected.color = CardColor::green;
  ahead.draw(expected, fx.input(), std::nullopt);
  const PdfMemo memo = ahead.memo();
  ASSERT_NE(memo.ahead, nullptr);
  ASSERT_FALSE(memo.bytes.empty());
  EXPECT_EQ(memo.at, kNow);
  // The run ended so: that document is the report.
  fx.result.color = CardColor::green;
  PdfMemo taken = memo;
  fx.write(rows, "", std::nullopt, &taken);
  EXPECT_EQ(slurp(fx.pdfPath()), memo.bytes);
  // The final count found a file short: drawn again, never the guess.
  fx.result.color = CardColor::yellow;
  fx.result.underCopied = 1;
  PdfMemo guessed = memo;
  fx.write(rows, "", std::nullopt, &guessed);
  const std::string yellow = pageText(fx.pdfPath(), 1, 1);
  expectIn(yellow, {"노랑 — 검증 사본이 2곳에 못 미치는 파일 1개."});
  EXPECT_EQ(yellow.find("초록"), std::string::npos);
  // The document's creation time is its only part that may differ.
  auto undated = [](std::string pdf) {
    const size_t at = pdf.find("/CreationDate (");
    return at == std::string::npos ? pdf : pdf.erase(at, pdf.find(')', at) - at);
  };
  const std::string withAhead = undated(slurp(fx.pdfPath()));
  fx.write(rows);
  EXPECT_EQ(withAhead, undated(slurp(fx.pdfPath())));
  // Shortened in the middle.
  std::string all = pageText(fx.pdfPath());
  expectIn(all, {"00000000000000bb", std::string(8, 'W') + "…"});
  EXPECT_EQ(all.find(std::string(90, 'W')), std::string::npos);
}

}  // namespace
}  // namespace tolverdine
