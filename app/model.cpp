#include "app/model.h"
#include "engine/store/store_open.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "app/card_run.h"
#include "engine/base/files.h"
#include "engine/base/system_reason.h"
#include "engine/base/text.h"
#include "engine/base/version.h"
#include "engine/card/camera_labels.h"
#include "engine/card/card_detect.h"
#include "engine/card/identify.h"
#include "engine/card/scan.h"
#include "engine/card/twin.h"
#include "engine/library/library.h"
#include "engine/reports/anonymous_tree.h"
#include "platform/app_log.h"
#include "platform/clock.h"
#include "platform/eject.h"
#include "platform/notifier.h"
#include "platform/preferences_store.h"
#include "platform/reader_link.h"
#include "platform/volume_holders.h"
#include "platform/webhook.h"

namespace tolverdine {

namespace {
constexpr auto kSecond = std::chrono::milliseconds(1000);
// Linux has no permission window: a copy that never begins waits on a device that does not answer.
const char* const kPermissionHint =
    "진행이 없습니다. 카드 리더가 응답하지 않으면 다시 연결하고, 카드 폴더의 읽기 권한을 확인하세요.";

std::string fmt(const char* f, auto... args) {
  char buf[1024];
  std::snprintf(buf, sizeof buf, f, args...);
  return buf;
}

std::string joined(const std::vector<std::string>& v, const std::string& sep) {
  std::string out;
  for (const auto& s : v) out += (out.empty() ? "" : sep) + s;
  return out;
}
}  // namespace

std::string sizeText(int64_t bytes) {
  if (bytes < 1'000'000'000'000LL) return fmt("%.1fGB", static_cast<double>(bytes) / 1e9);
  return fmt("%.1fTB", static_cast<double>(bytes) / 1e12);
}

Model::Model(ModelServices services, ModelOptions options)
    : svc_(std::move(services)), opt_(std::move(options)) {
  s_ = Settings::load(svc_.prefs);
  presets_ = Presets::loadAll(opt_.presetsV0, opt_.presetsCustom);
  showOnboarding_ = !eulaAccepted();
  startedAt_ = svc_.clock.now();
  // The rule editor opens on the preset the jobs use.
  editingPreset_ = s_.preset;
  editingRules_ = Presets::rulesFor(presets_, s_.preset);
}

Model::~Model() {
  *alive_ = false;
  // Background threads use the services; they must be done before those go away.
  while (*inFlight_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void Model::start() {
  log("시작 — 프로젝트 " + (s_.project.empty() ? std::string("없음") : s_.project) + ", 목적지 " +
      std::to_string(s_.dests.size()) + "곳, 자동 시작 " + (s_.autoStart ? "true" : "false"));
  if (svc_.watcher) {
    std::weak_ptr<bool> alive = alive_;
    svc_.watcher->start([this, alive](const VolumeEvent& e) {
      if (auto a = alive.lock(); a && *a) volume(e);
    });
  }
  cascade();
  // The cards of earlier sessions, for the list beside this session's finished cards.
  runSearch(searchText_);
  refreshEarlier();
}

bool Model::eulaAccepted() const { return tolverdine::eulaAccepted(s_.eulaAccepted, opt_.terms); }

const CardItem* Model::card(const std::string& id) const {
  for (const auto& c : cards_)
    if (c.id == id) return &c;
  return nullptr;
}

CardItem* Model::find(const std::string& id) {
  for (auto& c : cards_)
    if (c.id == id) return &c;
  return nullptr;
}

void Model::changed(Change c) {
  if (observer_) observer_(c);
}

void Model::log(const std::string& line) { svc_.log.log(line); }

void Model::save(const std::string& key) {
  auto v = s_.value(key);
  if (v) svc_.prefs.set(key, *v);
  else svc_.prefs.remove(key);
}

void Model::background(std::function<std::function<void()>()> work) {
  ++*inFlight_;
  std::shared_ptr<bool> alive = alive_;
  auto inFlight = inFlight_;
  Scheduler& main = svc_.main;
  AppLog& appLog = svc_.log;
  std::thread([work = std::move(work), alive, inFlight, &main, &appLog] {
    std::function<void()> then;
    // Work reports its own failures as values; anything that still escapes is logged, never
    // allowed to take the process down.
    try {
      then = work();
    } catch (const std::exception& e) {
      appLog.log(std::string("오류: 백그라운드 작업 · ") + e.what());
    } catch (const StoreError& e) {
      appLog.log("오류: 백그라운드 작업 · " + e.description());
    } catch (const WriteFail& e) {
      appLog.log("오류: 백그라운드 작업 · " + e.path + " · " + std::strerror(e.err));
    } catch (const IngestStop& e) {
      appLog.log("오류: 백그라운드 작업 · " + e.description());
    } catch (const IOFail& e) {
      appLog.log(std::string("오류: 백그라운드 작업 · ") + std::strerror(e.err));
    }
    if (then)
      main.post([then = std::move(then), alive] {
        if (*alive) then();
      });
    --*inFlight;
  }).detach();
}

std::string Model::nextCam() const {
  std::set<std::string> used;
  for (const auto& c : cards_) used.insert(c.cam);
  return nextFreeLabel(used);
}

// ---- Volume events and reading ----

void Model::volume(const VolumeEvent& e) {
  if (!e.path) return;
  const std::string path = *e.path;
  if (e.kind == VolumeEvent::Kind::unmounted) {
    CardItem* c = find(path);
    if (!c) return;
    if (c->phase.is<Phase::Running>()) {
      gone_.insert(path);
      log("⚠ 복사 중 카드 분리: " + path);
      return;
    }
    std::erase_if(cards_, [&](const CardItem& x) { return x.id == path; });
    gone_.erase(path);
    changed();
    return;
  }
  cascade();
  if (CardItem* c = find(path)) {
    // A card pulled during its job stays listed with its verdict; a new card at that mount point
    // takes its place instead of being ignored.
    if (!gone_.count(path) || c->phase.is<Phase::Running>()) return;
    std::erase_if(cards_, [&](const CardItem& x) { return x.id == path; });
    gone_.erase(path);
  }
  const std::optional<int64_t> capacity = opt_.capacity ? opt_.capacity(path) : std::nullopt;
  const CardDecision decision = decideCard(path, e.removable, e.diskImage, capacity);
  if (decision == CardDecision::none) {
    if (!e.diskImage) suggestDestination(path, e.name);
    return;
  }
  const bool generic = decision == CardDecision::generic;
  CardItem c;
  c.id = path;
  c.path = path;
  c.name = e.name && !e.name->empty() ? *e.name : lastComponent(path);
  c.phase.value = Phase::Reading{};
  c.generic = generic;
  if (generic)
    c.note =
        "카메라 폴더가 없는 이동식 미디어입니다. 확장자·날짜로만 나눠 '일반 미디어'로 받을 수 있습니다.";
  cards_.push_back(c);
  log("카드 감지: " + path);
  changed();

  const int copies = s_.copies;
  auto db = opt_.dbPath;
  auto interval = opt_.settleInterval;
  auto tries = opt_.settleTries;
  auto volumeId = opt_.volumeId;
  ReaderLinkProbe& links = svc_.readerLink;
  background([=, this, &links]() -> std::function<void()> {
    CardList list = settledList(path, interval, tries);
    std::optional<std::string> volume = volumeId ? volumeId(path) : std::nullopt;
    CardStatus status = CardStatus::newCard();
    std::optional<std::string> known;
    OpenedStore store = openStoreAt(db);
    if (store)
      status = cardStatus(list.files, *store, copies, volume, cardDrive(path, store->drives()));
    CameraID camera = identify(path, list.files);
    if (store) known = storedLabel(*store, camera);
    auto link = links.readerLink(path);
    bool incomplete = !list.errors.empty();
    return [=, this] {
      if (CardItem* c = find(path)) {
        c->link = link;
        c->volume = volume;
      }
      read(path, list.files, incomplete, status, camera, known);
    };
  });
}

void Model::read(const std::string& id, std::vector<CardFile> files, bool incomplete,
                 CardStatus status, CameraID camera, std::optional<std::string> knownLabel) {
  CardItem* c = find(id);
  if (!c) return;
  c->files = std::move(files);
  c->status = status;
  c->camera = camera;
  c->incomplete = incomplete;
  if (auto* k = std::get_if<CardStatus::Known>(&status.value)) {
    c->cam = k->cam;
    // Copies recorded but gone or changed on a connected drive: say why they do not count.
    if (std::string note = discountNote(status); !note.empty()) c->note = note;
    // A card that could not be listed in full is never cleared on its record alone.
    if (k->under == 0 && k->added == 0 && !incomplete) {
      finish(id, CardColor::green,
             fmt("이미 백업됨 — %s, 파일 %lld개 모두 검증 사본 %lld곳 이상", k->cam.c_str(),
                 static_cast<long long>(c->files.size()), static_cast<long long>(s_.copies)));
      return;
    }
  } else if (auto* t = std::get_if<CardStatus::Twin>(&status.value)) {
    c->cam = t->cam;
    c->phase.value = Phase::Waiting{std::nullopt};
    c->note = fmt(
        "듀얼 슬롯 백업 카드로 보입니다 (%s, %lld개). '슬롯 대조'는 쓰지 않고 해시만 비교합니다.",
        t->cam.c_str(), static_cast<long long>(t->files));
    log("백업 슬롯 카드: " + c->path + " · " + t->cam);
    changed();
    return;
  } else {
    c->cam = knownLabel ? *knownLabel : nextCam();
  }
  std::optional<int> countdown;
  if (s_.autoStart && s_.ready() && !c->generic) countdown = s_.countdownSeconds();
  c->phase.value = Phase::Waiting{countdown};
  std::string label = camera.label();
  log("카드 읽음: " + c->path + " · 파일 " + std::to_string(c->files.size()) + "개 · " +
      statusText(status) + " · " + (label.empty() ? std::string("카메라 모름") : label) + " → " +
      c->cam);
  changed();
  if (countdown) countdownTick(id);
}

void Model::countdownTick(const std::string& id) {
  CardItem* c = find(id);
  if (!c) return;
  auto* w = c->phase.get<Phase::Waiting>();
  if (!w || !w->countdown) return;
  if (*w->countdown < 1) {
    start(id, false);
    return;
  }
  int before = *w->countdown;
  svc_.main.after(kSecond, [this, id, before, alive = alive_] {
    if (!*alive) return;
    CardItem* c = find(id);
    if (!c) return;
    auto* w = c->phase.get<Phase::Waiting>();
    if (!w || w->countdown != before) return;
    w->countdown = before - 1;
    changed(Change::progress);
    countdownTick(id);
  });
}

void Model::hold(const std::string& id) {
  CardItem* c = find(id);
  if (!c || !c->phase.is<Phase::Waiting>()) return;
  c->phase.value = Phase::Waiting{std::nullopt};
  changed();
}

void Model::start(const std::string& id, bool force) {
  CardItem* c = find(id);
  // A card is started again from any phase but while its job is queued or running.
  if (!c || c->phase.is<Phase::Running>() || c->phase.is<Phase::Queued>()) return;
  if (!eulaAccepted()) {
    c->note = "먼저 사용 약관에 동의하세요";
    c->phase.value = Phase::Waiting{std::nullopt};
    showOnboarding_ = true;
    changed();
    return;
  }
  if (!s_.ready()) {
    c->note = "프로젝트와 목적지를 먼저 정하세요";
    c->phase.value = Phase::Waiting{std::nullopt};
    changed();
    return;
  }
  c->note.reset();
  c->phase.value = Phase::Queued{};
  c->finishedKey.reset();
  c->outcomes.clear();
  changed();
  pump(force);
}

void Model::dismiss(const std::string& id) {
  if (!find(id)) return;
  std::erase_if(cards_, [&](const CardItem& x) { return x.id == id; });
  changed();
}

void Model::keepSlot2(const std::string& id) {
  CardItem* c = find(id);
  if (!c) return;
  // Once only: a start refused for want of consent leaves the button there to press again.
  const std::string suffix = "_SLOT2";
  if (c->cam.size() < suffix.size() ||
      c->cam.compare(c->cam.size() - suffix.size(), suffix.size(), suffix) != 0)
    c->cam += suffix;
  start(id, true);
}

void Model::stopStarting() { stopped_ = true; }

// ---- Queue and job ----

CardItem* Model::nextQueued() {
  if (stopped_ || cascading_ || running_ >= s_.maxParallel()) return nullptr;
  // One job per camera label at a time: its clips would otherwise interleave in one folder.
  std::set<std::string> busy;
  for (const auto& c : cards_)
    if (c.phase.is<Phase::Running>()) busy.insert(c.cam);
  for (auto& x : cards_)
    if (x.phase.is<Phase::Queued>() && !busy.count(x.cam)) return &x;
  return nullptr;
}

CardRunInput Model::jobInput(const CardItem& c, bool force) const {
  CardRunInput in;
  in.job.card = c.path;
  in.job.cam = c.cam;
  in.job.project = s_.project;
  in.job.destinations = s_.dests;
  in.job.names = s_.names();
  in.job.preset = s_.preset;
  in.job.rules = Presets::rulesFor(presets_, s_.preset);
  in.job.model = c.camera.modelName();
  in.job.role = s_.roleFor(c.cam);
  in.job.copies = s_.copies;
  in.job.cameraLabel = c.camera.label();
  if (!s_.operatorName.empty()) in.job.operatorName = s_.operatorName;
  in.job.logo = s_.logoPath;
  in.job.storage = s_.storage();
  in.files = c.files;
  in.camera = c.camera;
  in.projectDate = s_.projectDate;
  in.force = force;
  in.options.verify = s_.verify();
  in.options.md5 = s_.md5;
  in.recapCommand = trimSpace(s_.recapCommand);
  in.dbPath = opt_.dbPath;
  in.probe = opt_.probe;
  in.volumeId = opt_.volumeId;
  return in;
}

BytesFn Model::throttledBytes(const std::string& id) {
  // The run reports bytes from its threads at every block; the page needs a few a second.
  struct Throttle {
    std::mutex m;
    std::chrono::steady_clock::time_point last{};
  };
  auto gate = std::make_shared<Throttle>();
  Scheduler& mainLoop = svc_.main;
  std::weak_ptr<bool> weak = alive_;
  return [this, gate, &mainLoop, weak, id](const ByteProgress& b) {
    {
      std::lock_guard<std::mutex> l(gate->m);
      auto now = std::chrono::steady_clock::now();
      if (now - gate->last < std::chrono::milliseconds(200)) return;
      gate->last = now;
    }
    mainLoop.post([this, weak, id, b] {
      if (auto a = weak.lock(); a && *a) bytes(id, b);
    });
  };
}

void Model::pump(bool force) {
  CardItem* c = nextQueued();
  if (!c) return;
  ++running_;
  std::string label = trimSpace(c->cam);
  if (label.empty()) label = nextCam();
  c->cam = label;
  int64_t total = 0;
  for (const auto& f : c->files) total += f.size;
  c->phase.value = Phase::Running{0, total, "준비 중"};
  c->live =
      LiveBytes{0, 0, total, s_.verify() != VerifyMode::fast, "복사", std::nullopt, std::nullopt};
  rates_.erase(c->id);

  CardRunInput in = jobInput(*c, force);
  in.bytes = throttledBytes(c->id);
  log("시작: " + c->path + " → " + joined(s_.dests, ", ") + " · " + label + " · " + s_.preset +
      " · 파일 " + std::to_string(c->files.size()) + "개 " + sizeText(total) + " · 사본 기준 " +
      std::to_string(s_.copies) + " · 검증 " + verifyModeText(in.options.verify) + " · 리더 " +
      (c->link ? c->link->label() : "모름"));
  changed();

  const std::string id = c->id;
  svc_.main.after(std::chrono::milliseconds(15000), [this, id, alive = alive_] {
    if (*alive) watchdog(id);
  });
  std::unique_ptr<SleepGuard> guard = svc_.sleepGuard ? svc_.sleepGuard() : nullptr;
  if (guard) guard->hold("TOLVERDINE 카드 복사");
  sleep_[id] = std::move(guard);
  runJob(id, std::move(in));
  pump(false);
}

void Model::runJob(const std::string& id, CardRunInput in) {
  Scheduler& main = svc_.main;
  AppLog& appLog = svc_.log;
  std::weak_ptr<bool> alive = alive_;
  background([this, in = std::move(in), id, &main, &appLog, alive]() -> std::function<void()> {
    auto onProgress = [&main, this, id, alive](int n, int count, const std::string& file,
                                               int64_t done, int64_t total) {
      main.post([=, this] {
        if (auto a = alive.lock(); a && *a) progress(id, done, total, file, n, count);
      });
    };
    CardRunOutcome out = runCardJob(
        in, onProgress, [&appLog](const std::string& l) { appLog.log(l); }, nullptr);
    return [this, id, out] { completed(id, out); };
  });
}

void Model::completed(const std::string& id, const CardRunOutcome& out) {
  if (out.mismatch) {
    mismatch(id, out.mismatch->first, out.mismatch->second);
    return;
  }
  for (const auto& l : out.log) log(l);
  if (out.lastJob) lastJob_[id] = *out.lastJob;
  if (CardItem* c = find(id)) c->outcomes = out.outcomes;
  if (!s_.projectDate && !out.shootDate.empty() && out.lastJob) {
    s_.projectDate = out.shootDate;
    save("projectDate");
  }
  finish(id, out.color, out.text);
  if (out.lastJob)
    if (FinishedCard* f = finishedEntry(id)) f->job = *out.lastJob;
  // The earlier-cards list now holds this one too.
  runSearch(searchText_);
  --running_;
  releaseSleep(id);
  pump(false);
  cascade();
  changed();
}

void Model::releaseSleep(const std::string& id) {
  auto it = sleep_.find(id);
  if (it == sleep_.end()) return;
  if (it->second) it->second->release();
  sleep_.erase(it);
}

void Model::watchdog(const std::string& id) {
  CardItem* c = find(id);
  if (!c) return;
  auto* r = c->phase.get<Phase::Running>();
  if (c->phase.is<Phase::Queued>() || (r && r->done == 0)) {
    c->note = kPermissionHint;
    log("권한 대기 시작(15초 진행 없음 — TCC 창 의심): " + c->path);
    changed();
  }
}

void Model::progress(const std::string& id, int64_t done, int64_t total, const std::string& file,
                     int files, int fileCount) {
  CardItem* c = find(id);
  if (!c || !c->phase.is<Phase::Running>()) return;
  c->phase.value = Phase::Running{done, total, file, files, fileCount};
  // The copies are done and the hash lists and reports are being written: the last speed and
  // time left no longer say anything.
  if (file == kOutputsStage && c->live) {
    c->live->stage = "해시 목록·리포트";
    c->live->rate.reset();
    c->live->secondsLeft.reset();
  }
  if (done >= 1 && c->note && *c->note == kPermissionHint) {
    c->note.reset();
    log("권한 대기 해제(진행 시작): " + id);
    changed();
    return;
  }
  changed(Change::progress);
}

void Model::bytes(const std::string& id, const ByteProgress& b) {
  CardItem* c = find(id);
  if (!c || !c->live) return;
  auto* r = c->phase.get<Phase::Running>();
  if (!r) return;
  LiveBytes& l = *c->live;
  if (b.copied > l.copied) l.stage = "복사";
  else if (b.verified > l.verified) l.stage = "검증";
  l.copied = b.copied;
  l.verified = b.verified;
  l.total = b.total;
  // Time left counts every byte still to be read: the copy, then its read-back.
  const int64_t work = l.readBack ? 2 * b.total : b.total;
  RateMeter& meter = rates_[id];
  meter.sample(b.copied + (l.readBack ? b.verified : 0), RateMeter::Clock::now());
  l.rate = meter.rate();
  l.secondsLeft = meter.secondsLeft(work);
  if (b.copied > r->done) r->done = b.copied;
  if (r->done >= 1 && c->note && *c->note == kPermissionHint) {
    c->note.reset();
    log("권한 대기 해제(진행 시작): " + id);
    changed();
    return;
  }
  changed(Change::progress);
}

void Model::mismatch(const std::string& id, const std::string& shootDate,
                     const std::string& projectDate) {
  --running_;
  releaseSleep(id);
  rates_.erase(id);
  if (CardItem* c = find(id)) {
    c->live.reset();
    c->phase.value = Phase::Waiting{std::nullopt};
    c->dateMismatch = true;
    c->note = fmt("촬영일 %s 이 프로젝트 날짜 %s 와 다릅니다. 맞으면 '그래도 시작'",
                  shootDate.c_str(), projectDate.c_str());
  }
  log("멈춤(촬영일 다름): " + id + " 카드 " + shootDate + " / 프로젝트 " + projectDate);
  changed();
  pump(false);
}

void Model::finish(const std::string& id, CardColor color, const std::string& text) {
  CardItem* c = find(id);
  if (!c) return;
  c->phase.value = Phase::Finished{color, text};
  c->live.reset();
  rates_.erase(id);
  // The verdict outlives the card in the list: a green card is ejected and leaves it.
  FinishedCard* entry = finishedEntry(id);
  if (!entry) {
    finished_.insert(finished_.begin(), FinishedCard{});
    entry = &finished_.front();
    entry->key = "job-" + std::to_string(++finishedSeq_);
    c->finishedKey = entry->key;
  }
  entry->id = id;
  entry->name = c->name;
  entry->cam = c->cam;
  entry->camera = c->camera.label();
  entry->color = color;
  entry->text = text;
  entry->at = svc_.clock.now();
  entry->outcomes = c->outcomes;
  log("끝: " + id + " · " + colorText(color) + " · " + text);
  const char* mark = color == CardColor::green ? "🟢" : color == CardColor::yellow ? "🟡" : "🔴";
  webhook("[" + s_.project + "] " + c->name + " (" + c->cam + ") — " + mark + " " + text);
  const char* title = color == CardColor::green    ? "포맷 가능 — %s"
                      : color == CardColor::yellow ? "사본 부족 — %s"
                                                   : "확인 필요 — %s";
  notify(fmt(title, c->name.c_str()), text, color == CardColor::red);
  changed();
  // A card pulled during its job is not there to eject.
  if (color == CardColor::green && s_.ejectsGreenCards() && !gone_.count(id)) eject(id, 1);
}

void Model::notify(const std::string& title, const std::string& body, bool critical) {
  svc_.notifier.notify(title, body, critical);
}

void Model::webhook(const std::string& text) {
  if (!webhookURLAccepted(s_.webhookURL)) return;
  AppLog& appLog = svc_.log;
  svc_.webhook.post(s_.webhookURL, text, [&appLog](const WebhookResult& r) {
    if (!r.ok()) appLog.log("웹훅 실패: " + std::to_string(r.status) + " " + r.error);
  });
}

void Model::eject(const std::string& id, int attempt) {
  CardItem* c = find(id);
  if (!c) return;
  std::string path = c->path;
  Ejector& ejector = svc_.ejector;
  VolumeHolders& holders = svc_.holders;
  background([=, this, &ejector, &holders]() -> std::function<void()> {
    auto failure = ejector.eject(path);
    std::vector<std::string> who;
    if (failure && attempt >= 3) who = holders.holders(path);
    return [=, this] {
      if (!failure) {
        log("추출: " + id +
            (attempt >= 2 ? " (" + std::to_string(attempt) + "번째)" : std::string()));
        return;
      }
      if (attempt < 3) {
        svc_.main.after(std::chrono::milliseconds(5000), [this, id, attempt, alive = alive_] {
          if (*alive) eject(id, attempt + 1);
        });
        return;
      }
      if (CardItem* c = find(id)) {
        c->note = who.empty()
                      ? "추출 실패 — " + failure->description
                      : "추출 실패 — 이 앱이 카드 파일을 쥐고 있습니다: " + joined(who, ", ");
        changed();
      }
      log("추출 실패: " + id + " · 쥔 앱: " +
          (who.empty() ? std::string("모름") : joined(who, ", ")) + " · " + failure->description);
    };
  });
}

// ---- Twin check and tree ----

void Model::verifyTwinCard(const std::string& id) {
  CardItem* c = find(id);
  if (!c) return;
  c->phase.value = Phase::Running{0, 1, "슬롯 대조"};
  c->note.reset();
  changed();
  auto path = c->path;
  auto files = c->files;
  auto cam = c->cam;
  auto db = opt_.dbPath;
  int copies = s_.copies;
  auto volumeId = opt_.volumeId;
  background([=, this]() -> std::function<void()> {
    OpenedStore store = openStoreAt(db);
    if (!store) {
      // Without the database nothing can be compared; the card must not stay running for ever.
      std::string why = store.error;
      return
          [this, id, why] { finish(id, CardColor::red, "두 슬롯을 비교하지 못했습니다 — " + why); };
    }
    TwinCheck t = verifyTwin(path, files, cam, *store, copies);
    if (t.ok())
      store->recordCard(cardFingerprint(files), cam, files,
                        volumeId ? volumeId(path) : std::nullopt);
    return [this, id, t, copies] {
      if (t.ok()) {
        finish(id, CardColor::green,
               fmt("두 슬롯 내용 동일 (%lld개) — 이 카드도 포맷해도 됩니다",
                   static_cast<long long>(t.same)));
        return;
      }
      if (t.contentOk()) {
        // Same content, but the first slot's copies are short: the twin is not a safe copy yet.
        finish(id, CardColor::yellow,
               fmt("두 슬롯 내용 동일 — 사본 %lld곳 미달 %lld개, 카드를 비우지 마세요",
                   static_cast<long long>(copies), static_cast<long long>(t.underCopied.size())));
        return;
      }
      finish(id, CardColor::red,
             fmt("두 슬롯이 다릅니다: 다름 %lld · 못 읽음 %lld — 포맷하지 마세요",
                 static_cast<long long>(t.differ.size()), static_cast<long long>(t.unread.size())));
      std::vector<std::string> first;
      for (const auto& p : t.differ) first.push_back(p);
      for (const auto& p : t.unread) first.push_back(p);
      if (first.size() > 3) first.resize(3);
      if (CardItem* c = find(id)) c->note = joined(first, ", ");
      changed();
    };
  });
}

std::optional<Model::ExportError> Model::exportTree(const std::string& id, const std::string& path,
                                                    bool replace) {
  CardItem* c = find(id);
  if (!c) return ExportError{"카드가 없습니다"};
  if (!replace && exists(path)) return ExportError{"이미 있는 파일입니다: " + path, true};
  try {
    writeFileAtomic(path, anonymousTreeHeader(toolVersion()) + "\n" + anonymousTree(c->path, 5));
  } catch (const WriteFail& f) {
    // Named by the file the person chose, not the temporary one the write went through.
    return ExportError{"저장 실패: " + path + " · " + systemReason(f.err)};
  }
  return std::nullopt;
}

FinishedCard* Model::finishedEntry(const std::string& id) {
  CardItem* c = find(id);
  if (!c || !c->finishedKey) return nullptr;
  for (auto& f : finished_)
    if (f.key == *c->finishedKey) return &f;
  return nullptr;
}

CardColor Model::worst() const {
  std::vector<std::pair<CardStanding, CardColor>> v;
  for (const auto& c : cards_) {
    if (auto* f = c.phase.get<Phase::Finished>()) v.push_back({CardStanding::finished, f->color});
    else if (c.phase.is<Phase::Running>()) v.push_back({CardStanding::running, CardColor::red});
    else v.push_back({CardStanding::other, CardColor::gray});
  }
  return worstColor(v);
}

}  // namespace tolverdine
