// The job of one card, run on a background thread: plan, date check, ingest, card record, hash
// lists and reports, recap. It sees only the values captured when the job was started.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/card_item.h"
#include "engine/card/camera_id.h"
#include "engine/copy/ingest.h"
#include "engine/job/card_job.h"
#include "engine/library/report_clips.h"

namespace tolverdine {

struct CardRunInput {
  CardJob job;  // card path, label, project, destinations, rules, names, storage, ...
  std::vector<CardFile> files;
  CameraID camera;
  std::optional<std::string> projectDate;
  bool force = false;
  IngestOptions options;
  std::string recapCommand;
  std::string dbPath;
  std::function<Meta(const std::string&)> probe;
  std::function<std::optional<std::string>(const std::string&)> volumeId;
  /// Told the plan once its storage is chosen, before anything is copied.
  std::function<void(const CardPlan&)> planned;
  /// Live byte counts from the run's threads, unthrottled.
  BytesFn bytes;
};

struct CardRunOutcome {
  /// Set when the job stopped for a shoot date other than the project's: (shoot, project).
  std::optional<std::pair<std::string, std::string>> mismatch;
  CardColor color = CardColor::red;
  std::string text;
  std::string shootDate;
  std::optional<LastJob> lastJob;     // absent when the run never started
  std::vector<DestOutcome> outcomes;  // per destination, in destination order, when the run ran
  std::vector<std::string> log;       // application-log lines, in order
};

/// The stage after the copies, as progress names it in place of a file.
inline constexpr const char* kOutputsStage = "해시 목록·리포트 쓰는 중";

/// progress gets (file n, count, file, bytes done, bytes total) from the run's thread, a few times
/// a second at most and always for the last file.
/// What each destination holds after a run: verified files, failures and the first reason, loss.
std::vector<DestOutcome> destOutcomes(const IngestResult& result,
                                      const std::vector<std::string>& roots, size_t files);

CardRunOutcome runCardJob(const CardRunInput& in, const ProgressFn& progress,
                          const std::function<void(const std::string&)>& recapLog,
                          SleepGuard* sleep);

}  // namespace tolverdine
