#include "engine/job/card_job.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <future>
#include <set>

#include "engine/base/beside.h"
#include "engine/base/canonical_path.h"
#include "engine/base/text.h"
#include "engine/card/scan.h"
#include "engine/copy/ingest.h"
#include "engine/hashlist/mhl.h"
#include "engine/hashlist/mhl_complete.h"
#include "engine/reports/pdf_ahead.h"
#include "engine/reports/pdf_report.h"
#include "engine/reports/reports.h"
#include "engine/store/sessions.h"
#include "engine/store/store.h"
#include "engine/store/store_open.h"
#include "engine/store/view.h"
#include "os/fs.h"

namespace tolverdine {

CardPlan planCard(const CardJob& job, const ProbeFn& probe) {
  CardPlan plan;
  auto classifyClip = [&](const Meta& m) { return classify(m, job.rules, job.model); };
  ScanResult s = scan(job.card, job.role, probe, classifyClip);
  plan.rows = std::move(s.rows);
  plan.errors = std::move(s.errors);
  sessions(plan.rows, sessionGap);
  destPaths(plan.rows, job.cam, job.names);
  std::vector<std::string> dates = shootDates(plan.rows, dayBoundaryHours);
  plan.date = dates.empty() ? localFormat(static_cast<double>(std::time(nullptr)), "yyyyMMdd")
                            : dates.front();
  // Resolved whole: a project folder that is a link to another drive's is that drive's folder.
  for (const auto& d : job.destinations)
    plan.roots.push_back(
        canonicalPath(join(canonicalPath(d), projectFolder(plan.date, job.project))));
  return plan;
}

namespace {

std::string planNotes(const CardPlan& plan) {
  std::string notes;
  for (const auto& n : plan.notes) notes += (notes.empty() ? "" : "\n") + n;
  return notes;
}

std::map<std::string, std::string> printedInfo(const CardJob& job, const CardPlan& plan,
                                               const std::optional<std::string>& volume) {
  std::string dests;
  for (const auto& root : plan.roots) dests += (dests.empty() ? "" : "\n") + root;
  std::map<std::string, std::string> printed = {{"project", job.project},
                                                {"date", plan.date},
                                                {"src", job.card},
                                                {"card", lastComponent(job.card)},
                                                {"volume", volume.value_or("")},
                                                {"dests", dests}};
  if (!plan.notes.empty()) printed["notes"] = planNotes(plan);  // the placement notes, printed too
  return printed;
}

// The printed report's input for the first destination at time now, as writeCardOutputs gives it.
ReportInput printedInput(const CardJob& job, const CardPlan& plan,
                         const std::optional<std::string>& volume, std::time_t now) {
  return {plan.roots.empty() ? "" : plan.roots.front(),
          job.cam,
          job.cameraLabel,
          job.copies,
          printedInfo(job, plan, volume),
          job.operatorName,
          now};
}

// The result of a run whose copies are recorded, as the job will hold it when the final count
// finds every file with its copies: as much of it as the printed report reads. Made on the run's
// thread before its final count, so each copy keeps only its place and hash, not its whole row.
IngestResult expectedResult(const IngestResult& sofar, const CardPlan& plan) {
  IngestResult e;
  e.copied = sofar.copied;
  e.skipped = sofar.skipped;
  e.failed = sofar.failed;
  e.lostDests = sofar.lostDests;
  e.stopped = sofar.stopped;
  for (const auto& [dest, copies] : sofar.verified) {
    std::vector<Verified>& out = e.verified[dest];
    out.resize(copies.size());
    for (size_t i = 0; i < copies.size(); ++i) {
      out[i].row.rel = copies[i].row.rel;
      out[i].hash = copies[i].hash;
    }
  }
  addListingFailures(e, plan.errors);
  e.color = verdictColor(e, plan.rows);
  return e;
}

}  // namespace

IngestHooks drawingAhead(PdfAhead& pdf, const CardJob& job, const CardPlan& plan,
                         const std::optional<std::string>& volume) {
  IngestHooks hooks;
  hooks.verified = [&pdf](const Row& r, const std::string& dest, const std::string& hash) {
    pdf.verified(r, dest, hash);
  };
  hooks.copied = [&pdf, &job, &plan, volume](const IngestResult& sofar) {
    pdf.draw(expectedResult(sofar, plan), printedInput(job, plan, volume, std::time(nullptr)),
             job.logo);
  };
  return hooks;
}

std::vector<std::string> writeCardOutputs(const CardJob& job, const CardPlan& plan,
                                          const IngestResult& result, Store& store,
                                          const std::optional<std::string>& volume,
                                          PdfAhead* ahead) {
  std::vector<std::string> problems;
  auto failText = [](const std::string& what, const WriteFail& f) {
    return what + ": " + f.path + " · " + std::strerror(f.err);
  };
  std::map<std::string, std::string> info = {
      {"project", job.project}, {"date", plan.date}, {"preset", job.preset}};
  if (!plan.notes.empty()) info["notes"] = planNotes(plan);
  const std::map<std::string, std::string> printed = printedInfo(job, plan, volume);
  // Tens of thousands of lookups below; nothing here writes.
  ReadSnapshot together(store);
  Fs& fs = job.fs ? *job.fs : realFs();
  std::vector<std::string> live;
  for (const auto& root : plan.roots) {
    bool lost = false;
    for (const auto& l : result.lostDests) lost = lost || l == root;
    if (lost) continue;
    // A view that could not be cloned is simply missing; it changes nothing else.
    if (plan.storage == StorageMode::mirror) makeView(plan.rows, root, job.cam, store);
    live.push_back(root);
  }
  // Each destination's problems, in order: hash list and reports, then its PDF.
  std::vector<std::vector<std::string>> said(live.size()), drawn(live.size());
  // Each destination's hash list and reports, taken in turn by whichever thread is free: they
  // are written side by side, each drive's own flushes.
  std::atomic<size_t> next{0};
  auto listAndReport = [&](Store& from) {
    for (size_t i; (i = next++) < live.size();) {
      const std::string& root = live[i];
      const std::vector<Verified>& thisRun = verifiedOn(result, root);
      try {
        // Also every file of this card verified here before and not listed yet (a run cut
        // short): the database is asked only for the files this run did not verify here.
        std::set<std::string> fresh;
        for (const auto& v : thisRun) fresh.insert(v.row.rel);
        std::vector<Row> before;
        for (const auto& r : plan.rows)
          if (!fresh.count(r.rel)) before.push_back(r);
        MHLListing l =
            writeListedGeneration(root, thisRun, verifiedOnRoot(from, job.cam, before, root),
                                  job.names, job.operatorName, std::time(nullptr), fs);
        for (const auto& n : l.setAside)
          said[i].push_back("끝까지 쓰이지 않은 해시 목록을 따로 둠: " + root + "/" + kMHLFolder +
                            "/" + n);
      } catch (const WriteFail& f) {
        said[i].push_back(failText("해시 목록 실패", f));
      }
      try {
        writeReports(root, plan.rows, result, job.cam, job.card, from, job.names, info,
                     std::time(nullptr), fs, &result.copiesCounted);
      } catch (const WriteFail& f) {
        said[i].push_back(failText("리포트 실패", f));
      }
    }
  };
  // The PDFs are drawn on a thread of their own, which then takes its share of the lists: the
  // drawing of a long card's clip lines is the longest step here, unless it was drawn during the
  // copy. Each PDF after the first takes the first one's bytes when it reads the same. Where no
  // thread can be had they are drawn after the lists, instead of failing the card's outputs.
  // Declared last: joined first.
  std::future<void> drawing = beside([&] {
    // Its lookups on a connection of its own: on the job's they would take turns with those of
    // the hash lists and clip lists.
    OpenedStore own = openStoreAt(store.path(), IfMissing::leave);
    Store& reads = own ? *own : store;
    // Waited for here, not before the lists: the document drawn ahead may still be drawing.
    PdfMemo pdfMemo = ahead ? ahead->memo() : PdfMemo{};
    // A document drawn ahead shows the time it was drawn at: the report reads the same only so.
    const std::time_t now = pdfMemo.at && !pdfMemo.bytes.empty() ? *pdfMemo.at : std::time(nullptr);
    for (size_t i = 0; i < live.size(); ++i) {
      try {
        writePDFReport(live[i], plan.rows, result, job.cam, job.cameraLabel, reads, job.copies,
                       job.names, printed, job.logo, job.operatorName, now, &pdfMemo, fs);
      } catch (const WriteFail& f) {
        drawn[i].push_back(failText("PDF 리포트 실패", f));
      }
    }
    if (!own) return;  // the job's connection is not shared between threads
    ReadSnapshot mine(reads);
    listAndReport(reads);
  });
  listAndReport(store);
  drawing.get();
  for (size_t i = 0; i < live.size(); ++i)
    said[i].insert(said[i].end(), drawn[i].begin(), drawn[i].end());
  for (auto& lines : said)
    for (auto& line : lines) problems.push_back(std::move(line));
  // Said once for the run, not once per destination.
  std::vector<std::string> unlisted = unlistableNames(plan.rows);
  if (!unlisted.empty()) problems.push_back(unlistedLine(unlisted));
  return problems;
}

std::string jobSummary(const IngestResult& r, int copies) {
  if (r.stopped) return "멈춤 — " + r.stopped->description();
  char buf[256];
  std::snprintf(buf, sizeof buf, "복사 %d · 기존 %d", r.copied, r.skipped);
  std::string s = buf;
  if (!r.failed.empty()) {
    std::snprintf(buf, sizeof buf, " · 실패 %zu", r.failed.size());
    s += buf;
  }
  switch (r.color) {
    case CardColor::yellow:
      std::snprintf(buf, sizeof buf, " — 사본 %d곳 미달 %d개, 카드를 비우지 마세요", copies,
                    r.underCopied);
      break;
    case CardColor::green:
      std::snprintf(buf, sizeof buf, " — 검증 사본 %d곳 이상, 카메라에서 포맷하세요", copies);
      break;
    default: std::snprintf(buf, sizeof buf, " — 카드를 포맷하지 마세요");
  }
  return s + buf;
}

}  // namespace tolverdine
