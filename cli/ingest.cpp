// tolverdine ingest CARD --project NAME --dest DIR [--dest DIR …]: one card onto every destination,
// verified, with hash lists and reports; the exit status is the card's colour.
#include <cstdio>
#include <memory>
#include <string>

#include "app/card_run.h"
#include "app/settings.h"
#include "cli/args.h"
#include "cli/ingest_exit.h"
#include "cli/open_store.h"
#include "cli/progress_bar.h"
#include "engine/base/canonical_path.h"
#include "engine/base/path_name.h"
#include "engine/card/camera_labels.h"
#include "engine/card/identify.h"
#include "engine/card/listing_error.h"
#include "engine/card/scan.h"
#include "engine/copy/storage_plan.h"
#include "engine/job/card_job.h"
#include "engine/layout/presets.h"
#include "engine/store/card_status.h"
#include "platform/sleep_inhibitor.h"
#include "platform/volume_uuid.h"

namespace tolverdine::cli {

namespace {
int usage() {
  std::fprintf(
      stderr,
      "사용법: tolverdine ingest <카드> --project <이름> --dest <폴더> [--dest <폴더> …]\n"
      "         [--copies N] [--verify fast|standard|paranoid] [--md5] [--english]\n"
      "         [--cam <카메라 이름>] [--preset <프리셋>] [--operator <이름>] [--logo <그림>]\n"
      "         [--recap <명령>] [--storage split|mirror|auto]\n");
  return kExitUsage;
}

// Project and camera names become folders on every destination; one that could climb out of
// its folder (or is blank) is refused before anything is read or written.
bool refusedName(const char* what, const std::string& name) {
  auto why = pathNameProblem(name);
  if (why) std::fprintf(stderr, "%s 이름으로 쓸 수 없습니다: %s\n", what, why->c_str());
  return why.has_value();
}
}  // namespace

int runIngest(int argc, char** argv) {
  auto args = parseArgs(argc, argv,
                        {"project", "dest", "copies", "verify", "cam", "preset", "operator", "logo",
                         "recap", "storage"},
                        {"md5", "english"});
  if (!args || args->positional.size() != 1 || !args->last("project") || args->all("dest").empty())
    return usage();

  if (refusedName("프로젝트", *args->last("project"))) return kExitUsage;
  if (auto cam = args->last("cam"); cam && refusedName("카메라", *cam)) return kExitUsage;

  CardJob job;
  job.card = canonicalPath(args->positional[0]);
  job.project = *args->last("project");
  // Two spellings of one folder stay two entries, so the run refuses them instead of merging.
  for (const auto& d : args->all("dest")) job.destinations.push_back(canonicalPath(d));
  job.cam = args->last("cam").value_or("A캠");
  job.names = args->has("english") ? NameSet::en() : NameSet::ko();
  const Settings defaults;  // the application's values for what the command line leaves out
  job.preset = args->last("preset").value_or(defaults.preset);
  job.copies = defaults.copies;
  job.rules =
      Presets::rulesFor(Presets::loadAll(Presets::v0Path(), Presets::customPath()), job.preset);
  job.operatorName = args->last("operator");
  job.logo = args->last("logo");
  if (auto c = args->last("copies")) {
    auto n = positiveInt(*c);
    if (!n) return usage();
    job.copies = *n;
  }
  if (auto m = args->last("storage")) {
    auto mode = storageFromText(*m);
    if (!mode) return usage();
    job.storage = *mode;
  }
  IngestOptions options;
  options.md5 = args->has("md5");
  if (auto v = args->last("verify")) {
    auto mode = verifyModeFromText(*v);
    if (!mode) return usage();
    options.verify = *mode;
  }

  std::unique_ptr<Store> store = openStore();
  if (!store) return 2;

  std::printf("카드 살펴보는 중: %s\n", job.card.c_str());
  CardRunInput in;
  in.files = quickList(job.card).files;
  // The camera decides the label (remembered from earlier cards) and the model the rules see.
  in.camera = identify(job.card, in.files);
  job.model = in.camera.modelName();
  job.cameraLabel = in.camera.label();
  if (!args->last("cam")) job.cam = storedLabel(*store, in.camera).value_or("A캠");
  if (refusedName("카메라", job.cam))
    return kExitUsage;  // a label remembered from an older version
  std::printf("카메라: %s → %s\n",
              job.cameraLabel.empty() ? "카메라 모름" : job.cameraLabel.c_str(), job.cam.c_str());
  store.reset();  // the job opens its own connection

  in.job = job;
  in.options = options;
  in.recapCommand = args->last("recap").value_or("");
  in.dbPath = Store::defaultPath();
  in.volumeId = volumeUUID;
  in.planned = [](const CardPlan& plan) {
    for (const auto& e : plan.errors) std::printf("%s\n", listingReason(e).c_str());
    std::printf("파일 %zu개 · 촬영일 %s\n", plan.rows.size(), plan.date.c_str());
    std::printf("보관 방식: %s\n", storageLabel(plan.storage));
    for (const auto& w : plan.warnings) std::printf("%s\n", w.c_str());
    std::fflush(stdout);
  };
  LogindSleepInhibitor sleep;
  ProgressBar bar(stderr);
  CardRunOutcome out = runCardJob(
      in,
      [&](int n, int count, const std::string& file, int64_t done, int64_t total) {
        bar.update(n, count, file, done, total);
      },
      [](const std::string& line) { std::printf("%s\n", line.c_str()); }, &sleep);
  bar.finish();
  if (!out.lastJob) {  // never started: the reason is the whole answer (red, or gray: nothing)
    std::printf("%s\n", out.text.c_str());
    return exitFor(out.color);
  }
  for (const auto& line : out.log) std::printf("%s\n", line.c_str());
  std::printf("%s %s\n", colorMark(out.color), out.text.c_str());
  return exitFor(out.color);
}

}  // namespace tolverdine::cli
