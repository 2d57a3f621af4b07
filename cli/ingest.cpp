// tolverdine ingest CARD --project NAME --dest DIR [--dest DIR …]: one card onto every destination,
// verified, with hash lists and reports; the exit status is the card's colour.
#include <chrono>
#include <memory>
#include <cstdio>
#include <string>

#include "cli/args.h"
#include "cli/open_store.h"
#include "cli/ingest_exit.h"
#include "cli/progress_bar.h"
#include "engine/camera_labels.h"
#include "engine/card_job.h"
#include "engine/storage_plan.h"
#include "engine/identify.h"
#include "engine/scan.h"
#include "engine/card_status.h"
#include "engine/ingest.h"
#include "engine/path_name.h"
#include "engine/preflight.h"
#include "engine/presets.h"
#include "engine/recap.h"
#include "platform/sleep_inhibitor.h"
#include "platform/volume_uuid.h"

namespace tolverdine::cli {

namespace {
int usage() {
  std::fprintf(stderr,
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
  auto args = parseArgs(argc, argv, {"project", "dest", "copies", "verify", "cam", "preset", "operator", "logo", "recap", "storage"}, {"md5", "english"});
  if (!args || args->positional.size() != 1 || !args->last("project") || args->all("dest").empty()) return usage();

  if (refusedName("프로젝트", *args->last("project"))) return kExitUsage;
  if (auto cam = args->last("cam"); cam && refusedName("카메라", *cam)) return kExitUsage;

  CardJob job;
  job.card = args->positional[0];
  job.project = *args->last("project");
  job.destinations = args->all("dest");
  job.cam = args->last("cam").value_or("A캠");
  job.names = args->has("english") ? NameSet::en() : NameSet::ko();
  job.preset = args->last("preset").value_or("default");
  job.rules = Presets::rulesFor(Presets::loadAll(Presets::v0Path(), Presets::customPath()), job.preset);
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
  const int copies = job.copies;
  IngestOptions options;
  options.md5 = args->has("md5");
  if (auto v = args->last("verify")) {
    auto mode = verifyModeFromText(*v);
    if (!mode) return usage();
    options.verify = *mode;
  }

  std::unique_ptr<Store> store = openStore();
  if (!store) return exitFor(CardColor::red);

  std::printf("카드 살펴보는 중: %s\n", job.card.c_str());
  // The camera decides the label (remembered from earlier cards) and the model the rules see.
  CameraID camera = identify(job.card, quickList(job.card).files);
  job.model = camera.modelName();
  job.cameraLabel = camera.label();
  if (!args->last("cam")) job.cam = storedLabel(*store, camera).value_or("A캠");
  if (refusedName("카메라", job.cam)) return kExitUsage;  // a label remembered from an older version
  std::printf("카메라: %s → %s\n", job.cameraLabel.empty() ? "카메라 모름" : job.cameraLabel.c_str(), job.cam.c_str());
  CardPlan plan = planCard(job, [](const std::string& p) { return probe(p); });
  for (const auto& e : plan.errors) std::printf("%s\n", listingReason(e).c_str());
  std::printf("파일 %zu개 · 촬영일 %s\n", plan.rows.size(), plan.date.c_str());
  plan.storage = applyStorage(job.storage, plan.rows, job.cam, plan.roots, job.names, *store);
  std::printf("보관 방식: %s\n", storageLabel(plan.storage));


  rememberCamera(*store, camera, job.cam);
  LogindSleepInhibitor sleep;
  ProgressBar bar(stderr);
  auto progress = [&](int n, int count, const std::string& file, int64_t done, int64_t total) {
    bar.update(n, count, file, done, total);
  };
  auto start = std::chrono::steady_clock::now();
  IngestResult result;
  try {
    result = tolverdine::runIngest(plan.rows, job.card, job.cam, plan.roots, job.names, *store, copies, options,
                                   availableBytes, progress, &sleep);
  } catch (const IngestStop& stop) {
    bar.finish();
    std::printf("시작하지 않음 — %s\n", stop.description().c_str());
    return exitFor(CardColor::red);
  }
  bar.finish();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // A card listed only in part is never green, and its partial file list is not remembered
  // as a backed-up card.
  addListingFailures(result, plan.errors);

  std::optional<std::string> volume = volumeUUID(job.card);
  if (!result.stopped && plan.errors.empty()) {
    std::vector<CardFile> files;
    for (const auto& r : plan.rows) files.push_back({r.rel, r.size, r.mtimeNs});
    store->recordCard(cardFingerprint(files), job.cam, files, volume);
  }
  for (const auto& line : writeCardOutputs(job, plan, result, *store, volume)) std::printf("%s\n", line.c_str());
  int64_t total = 0;
  for (const auto& r : plan.rows) total += r.size;
  for (const auto& line : resultLog(result, job.card, job.cam, seconds, total)) std::printf("%s\n", line.c_str());
  if (auto cmd = args->last("recap")) {
    // The user's own command, handed the manifest of a green card; it runs on by itself.
    recapAfterCard(*cmd, plan.rows, result, job.cam, job.role, job.project, plan.roots, *store,
                   [](const std::string& line) { std::printf("%s\n", line.c_str()); });
  }
  std::printf("%s %s\n", colorMark(result.color), jobSummary(result, copies).c_str());
  return exitFor(result.color);
}

}  // namespace tolverdine::cli
