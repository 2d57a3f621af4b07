#include "app/card_run.h"
#include "engine/store/store_open.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "engine/base/beside.h"
#include "engine/base/system_reason.h"
#include "engine/card/camera_labels.h"
#include "engine/card/listing_error.h"
#include "engine/copy/preflight.h"
#include "engine/copy/storage_plan.h"
#include "engine/layout/photo_place.h"
#include "engine/media/probe.h"
#include "engine/reports/pdf_ahead.h"
#include "engine/reports/recap.h"
#include "engine/store/card_status.h"
#include "engine/store/search_catch_up.h"
#include "engine/store/store.h"

namespace tolverdine {

namespace {
const char* const kNothingToCopy =
    "카드에 복사할 파일이 없습니다. 카드가 제대로 마운트됐는지 확인하세요";
}  // namespace

std::vector<DestOutcome> destOutcomes(const IngestResult& result,
                                      const std::vector<std::string>& roots, size_t files) {
  std::vector<DestOutcome> out;
  for (const auto& root : roots) {
    DestOutcome d;
    d.root = root;
    d.verified = static_cast<int>(verifiedOn(result, root).size());
    for (const auto& f : result.failed)
      if (f.dest == root) {
        if (d.failed++ == 0) d.why = f.why;
      }
    for (const auto& l : result.lostDests) d.lost = d.lost || l == root;
    // What was neither copied now nor failed was there from an earlier run of this card.
    if (!d.lost) d.existing = std::max(0, static_cast<int>(files) - d.verified - d.failed);
    out.push_back(d);
  }
  return out;
}

CardRunOutcome runCardJob(const CardRunInput& in, const ProgressFn& progress,
                          const std::function<void(const std::string&)>& recapLog,
                          SleepGuard* sleep) {
  CardRunOutcome out;
  const CardJob& job = in.job;
  auto started = std::chrono::steady_clock::now();
  auto fail = [&](const std::string& text, const std::string& line) {
    out.color = CardColor::red;
    out.text = text;
    out.log.push_back(line);
    return out;
  };
  try {
    // Refused before the card is even read: the project folders alone would not show two nested
    // destinations (D/project and D/sub/project), yet they are one drive folder's copies.
    requireSeparateFolders(job.destinations);
    ProbeFn probeFn =
        in.probe ? ProbeFn(in.probe) : ProbeFn([](const std::string& p) { return probe(p); });
    CardPlan plan = planCard(job, probeFn);
    out.shootDate = plan.date;
    if (in.projectDate && *in.projectDate != plan.date && !in.force) {
      out.mismatch = std::make_pair(plan.date, *in.projectDate);
      return out;
    }
    // An empty folder (a card not mounted leaves its mount point behind) decides nothing.
    if (std::none_of(plan.rows.begin(), plan.rows.end(), [](const Row& r) { return r.dest; })) {
      out.color = CardColor::gray;
      out.text = "판단 안 함 — " + std::string(kNothingToCopy);
      out.log.push_back("판단 안 함: " + job.card + " · " + kNothingToCopy);
      return out;
    }
    OpenedStore store = openStoreAt(in.dbPath);
    if (!store) return fail("오류 — " + store.error, "오류: " + job.card + " · " + store.error);
    plan.notes = placeSameNamePhotos(plan.rows, job.cam, plan.roots, *store);
    for (const auto& note : plan.notes) out.log.push_back("배치: " + job.card + " · " + note);
    // Two destinations on one drive are allowed (a layout choice) but hold one copy: said before
    // the copy and in the reports.
    plan.warnings = sameDriveNotes(plan.roots, store->drives());
    for (const auto& w : plan.warnings) {
      out.log.push_back(w);
      plan.notes.push_back(w);
    }
    plan.storage = applyStorage(job.storage, plan.rows, job.cam, plan.roots, job.names, *store);
    if (in.planned) in.planned(plan);
    rememberCamera(*store, in.camera, job.cam);

    // Progress reaches the main thread a few times a second at most.
    auto last = std::chrono::steady_clock::time_point{};
    auto onProgress = [&](int n, int count, const std::string& file, int64_t done, int64_t total) {
      auto now = std::chrono::steady_clock::now();
      if (n < count && now - last < std::chrono::milliseconds(200)) return;
      last = now;
      if (progress) progress(n, count, file, done, total);
    };
    // Worked out while the card is copied: it needs only the card's listing, and on a card of ten
    // thousand files the end of the run would wait for it.
    std::future<std::string> fingerprint =
        beside([&files = in.files] { return cardFingerprint(files); });
    SearchCatchUp search(in.dbPath);
    const std::optional<std::string> volume = in.volumeId ? in.volumeId(job.card) : std::nullopt;
    PdfAhead pdf(in.dbPath, plan.rows, job.cam, plan.roots.empty() ? "" : plan.roots.front());
    const IngestHooks hooks = drawingAhead(pdf, job, plan, volume);
    // A refused start (IngestStop) is answered by the handler below.
    IngestResult result =
        runIngest(plan.rows, job.card, job.cam, plan.roots, job.names, *store, job.copies,
                  in.options, availableBytes, onProgress, sleep, hooks, in.bytes);
    search.copied();
    // A card listed only in part never comes out green and is not remembered as backed up.
    addListingFailures(result, plan.errors);
    if (!result.stopped && plan.errors.empty())
      store->recordCard(fingerprint.get(), job.cam, in.files, volume);
    if (progress) {
      int64_t bytes = 0;
      for (const auto& r : plan.rows) bytes += r.size;
      const int count = static_cast<int>(plan.rows.size());
      progress(count, count, kOutputsStage, bytes, bytes);
    }
    for (const auto& line : writeCardOutputs(job, plan, result, *store, volume, &pdf))
      out.log.push_back(line);
    // Where no second connection or thread could be had, this one catches up.
    if (!search.caughtUp()) store->updateSearchIndex();
    int64_t total = 0;
    for (const auto& r : plan.rows) total += r.size;
    out.text = jobSummary(result, job.copies);
    out.outcomes = destOutcomes(result, plan.roots, plan.rows.size());
    out.color = result.color;
    if (!in.recapCommand.empty())
      recapAfterCard(in.recapCommand, plan.rows, result, job.cam, job.role, job.project, plan.roots,
                     *store, recapLog);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    for (const auto& line : resultLog(result, job.card, job.cam, seconds, total))
      out.log.push_back(line);
    out.lastJob = LastJob{plan.rows, plan.roots};
    return out;
  } catch (const IngestStop& stop) {
    return fail("시작하지 않음 — " + stop.description(),
                "시작하지 않음: " + job.card + " · " + stop.description());
  } catch (const std::exception& e) {
    return fail(std::string("오류 — ") + e.what(), "오류: " + job.card + " · " + e.what());
  } catch (const StoreError& e) {
    return fail("오류 — " + e.description(), "오류: " + job.card + " · " + e.description());
  } catch (const WriteFail& e) {
    std::string why = e.path + " · " + systemReason(e.err);
    return fail("오류 — " + why, "오류: " + job.card + " · " + why);
  } catch (const IOFail& e) {
    std::string why = systemReason(e.err);
    return fail("오류 — " + why, "오류: " + job.card + " · " + why);
  }
}

}  // namespace tolverdine
