// tolverdine ingest CARD --project NAME --dest DIR [--dest DIR …]: one card onto every destination,
// verified, with hash lists and reports; the exit status is the card's colour.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/card_run.h"
#include "app/settings.h"
#include "cli/args.h"
#include "cli/card_files.h"
#include "cli/ingest_exit.h"
#include "cli/open_store.h"
#include "cli/progress_bar.h"
#include "engine/base/canonical_path.h"
#include "engine/base/path_name.h"
#include "engine/base/term_text.h"
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

// A usage error names the argument that is wrong before the synopsis.
int usage(const std::string& what) {
  std::fprintf(stderr, "오류 — %s\n", what.c_str());
  return usage();
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
  if (!args) return usage();
  if (args->positional.empty()) return usage("카드 폴더를 주세요");
  if (args->positional.size() > 1) return usage("카드는 하나만 줍니다: " + args->positional[1]);
  if (!args->last("project")) return usage("--project 가 필요합니다");
  if (args->all("dest").empty()) return usage("--dest 가 필요합니다");

  if (refusedName("프로젝트", *args->last("project"))) return kExitUsage;
  if (auto cam = args->last("cam"); cam && refusedName("카메라", *cam)) return kExitUsage;

  CardJob job;
  job.project = *args->last("project");
  // Two spellings of one folder stay two entries, so the run refuses them instead of merging.
  for (const auto& d : args->all("dest")) job.destinations.push_back(canonicalPath(d));
  job.cam = args->last("cam").value_or("A캠");
  job.names = args->has("english") ? NameSet::en() : NameSet::ko();
  const Settings defaults;  // the application's values for what the command line leaves out
  job.preset = args->last("preset").value_or(defaults.preset);
  job.copies = defaults.copies;
  const PresetMap presets = Presets::loadAll(Presets::v0Path(), Presets::customPath());
  // A name given and not found is a typing slip; without one the built-in rules stand in.
  if (args->last("preset") && !presets.count(job.preset)) {
    std::string known;
    for (const auto& [name, rules] : presets) known += (known.empty() ? "" : ", ") + name;
    return usage("모르는 프리셋: " + job.preset + " (있는 프리셋: " + known + ")");
  }
  job.rules = Presets::rulesFor(presets, job.preset);
  job.operatorName = args->last("operator");
  if (auto logo = args->last("logo")) {
    job.logo = canonicalPath(*logo);
    struct stat st {};
    if (::stat(job.logo->c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      return usage("--logo 그림 파일이 없습니다: " + printableName(*logo));
  }
  if (auto c = args->last("copies")) {
    auto n = positiveInt(*c);
    if (!n) return usage("--copies 는 양의 정수여야 합니다: " + *c);
    job.copies = *n;
  }
  if (auto m = args->last("storage")) {
    auto mode = storageFromText(*m);
    if (!mode) return usage("--storage 는 split, mirror, auto 중 하나입니다: " + *m);
    job.storage = *mode;
  }
  IngestOptions options;
  options.md5 = args->has("md5");
  if (auto v = args->last("verify")) {
    auto mode = verifyModeFromText(*v);
    if (!mode) return usage("--verify 는 fast, standard, paranoid 중 하나입니다: " + *v);
    options.verify = *mode;
  }
  // A card that is not there, or is a file, is refused before any project folder is made.
  auto card = cardFolder(args->positional[0]);
  if (!card) return exitFor(CardColor::red);
  job.card = *card;

  std::unique_ptr<Store> store = openStore();
  if (!store) return 2;

  std::printf("카드 살펴보는 중: %s\n", job.card.c_str());
  CardRunInput in;
  in.files = quickList(job.card).files;
  // The camera decides the label (remembered from earlier cards) and the model the rules see.
  in.camera = identify(job.card, in.files);
  job.model = in.camera.modelName();
  job.cameraLabel = in.camera.label();
  if (!args->last("cam")) {
    // As the application labels a card: a card the database knows keeps its label (its copies'
    // keys carry it), a remembered camera gets its own, any other the next label not taken.
    CardStatus known = cardStatus(in.files, *store, job.copies, volumeUUID(job.card));
    if (const auto* k = std::get_if<CardStatus::Known>(&known.value)) job.cam = k->cam;
    else if (const auto* t = std::get_if<CardStatus::Twin>(&known.value)) job.cam = t->cam;
    else job.cam = storedLabel(*store, in.camera).value_or(nextFreeLabel(labelsInUse(*store)));
  }
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
  std::vector<std::string> said;  // the warnings printed before the copy, not repeated after it
  in.planned = [card = job.card, &said](const CardPlan& plan) {
    for (const auto& e : plan.errors) std::printf("%s\n", cardListingReason(card, e).c_str());
    std::printf("파일 %zu개 · 촬영일 %s\n", plan.rows.size(), plan.date.c_str());
    std::printf("보관 방식: %s\n", storageLabel(plan.storage));
    for (const auto& w : plan.warnings) std::printf("%s\n", w.c_str());
    said = plan.warnings;
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
  for (const auto& line : out.log)
    if (std::find(said.begin(), said.end(), line) == said.end()) std::printf("%s\n", line.c_str());
  std::printf("%s %s\n", colorMark(out.color), out.text.c_str());
  return exitFor(out.color);
}

}  // namespace tolverdine::cli
