// The application: the card list from mount to eject, the job queue, the settings, the second
// copy, and the state behind the library and report pages. Everything here runs on the main
// thread of `Scheduler`; reading a card, a job, the twin check, the cascade, ejects and folder
// checks run on background threads that hand plain values back.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/card_item.h"
#include "app/rate_meter.h"
#include "app/scheduler.h"
#include "app/settings.h"
#include "engine/copy/folder_check.h"
#include "engine/copy/ingest.h"
#include "engine/layout/presets.h"
#include "engine/library/report_clips.h"
#include "engine/reports/earlier_jobs.h"
#include "engine/reports/terms.h"
#include "engine/store/store.h"
#include "platform/login_item.h"
#include "platform/volume_watcher.h"

namespace tolverdine {

class AppLog;
class Clock;
class Ejector;
class Notifier;
class Opener;
class PreferencesStore;
class ReaderLinkProbe;
class VolumeHolders;
class WebhookPoster;
struct CardRunInput;
struct CardRunOutcome;
struct CascadeTally;

/// The platform around the model; every reference outlives the model.
struct ModelServices {
  Scheduler& main;
  PreferencesStore& prefs;
  AppLog& log;
  Notifier& notifier;
  WebhookPoster& webhook;
  Ejector& ejector;
  VolumeHolders& holders;
  ReaderLinkProbe& readerLink;
  Clock& clock;
  Opener& opener;
  /// Null: volume events only come in through volume().
  VolumeWatcher* watcher = nullptr;
  /// A fresh idle-sleep guard per job; null: none.
  std::function<std::unique_ptr<SleepGuard>()> sleepGuard;
};

struct ModelOptions {
  std::string dbPath = Store::defaultPath();
  std::string presetsV0 = Presets::v0Path();
  std::string presetsCustom = Presets::customPath();
  Terms terms;
  /// Mount points under which a writable volume may be offered as a destination.
  std::vector<std::string> destinationPrefixes = {"/media/", "/run/media/"};
  double settleInterval = 1.0;
  int settleTries = 10;
  /// Volume identity (UUID) of a mount point; absent when unknown.
  std::function<std::optional<std::string>(const std::string&)> volumeId;
  /// Total capacity of a mounted volume; absent when unknown.
  std::function<std::optional<int64_t>(const std::string&)> capacity;
  /// Media probe of the job's scan; empty: the real one.
  std::function<Meta(const std::string&)> probe;
  /// How the program is started at login (the user service, or an autostart entry with this
  /// command).
  LoginItemOptions loginItem;
};

class Model {
 public:
  enum class Change { state, progress };

  Model(ModelServices services, ModelOptions options);
  /// Waits for background work still in flight; its results are dropped.
  ~Model();
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  /// Start-up: the log line, the watcher, the first cascade.
  void start();
  /// One observer (the user interface); called on the main thread after every change.
  void observe(std::function<void(Change)> fn) { observer_ = std::move(fn); }

  // Published state.
  const std::vector<CardItem>& cards() const { return cards_; }
  const CardItem* card(const std::string& id) const;
  const Settings& settings() const { return s_; }
  const PresetMap& presets() const { return presets_; }
  int running() const { return running_; }
  bool cascading() const { return cascading_; }
  bool showOnboarding() const { return showOnboarding_; }
  bool eulaAccepted() const;
  const Terms& terms() const { return opt_.terms; }
  const std::optional<std::string>& destSuggestion() const { return destSuggestion_; }
  /// The offered volume's name (its label, else the last path component).
  const std::optional<std::string>& destSuggestionName() const { return destSuggestionName_; }
  const std::optional<std::string>& cascadeNote() const { return cascadeNote_; }
  const std::vector<PermCheck>& permChecks() const { return permChecks_; }
  const std::optional<std::string>& loginItemNote() const { return loginItemNote_; }
  bool loginItem() const;
  const LastJobs& lastJob() const { return lastJob_; }
  const std::string& editingPreset() const { return editingPreset_; }
  const std::vector<Rule>& editingRules() const { return editingRules_; }
  const std::optional<std::string>& libraryNote() const { return libraryNote_; }
  const std::string& searchText() const { return searchText_; }
  const std::vector<Hit>& hits() const { return hits_; }
  const std::vector<CardRecord>& history() const { return history_; }
  const std::vector<Suggestion>& suggestions() const { return suggestions_; }
  const std::optional<std::string>& reportCard() const { return reportCard_; }
  /// Clips of the open report, with their verified-copy verdicts.
  std::vector<ReportClip> reportClips() const;
  /// The job behind the open report: a finished card's (by its key) or a listed card's; null when
  /// none.
  const LastJob* reportJob() const;
  /// Name and camera label of the open report's card, also once it is no longer listed.
  std::string reportName() const;
  std::string reportCam() const;
  /// Cards finished since start-up, newest first; they stay after the card is ejected.
  const std::vector<FinishedCard>& finishedCards() const { return finished_; }
  /// Cards of the current project copied before start-up, newest first (at most kEarlierLimit),
  /// from the reports folders of the destinations; their key opens their report.
  const std::vector<EarlierJob>& earlierCards() const { return earlier_; }
  static constexpr size_t kEarlierLimit = 50;
  /// The running second copy: (files done, files, current name, bytes dealt with of all to copy);
  /// absent when none runs.
  struct CascadeLive {
    int done = 0, count = 0;
    std::string name, target;
    int64_t bytesDone = 0, bytesTotal = 0;
  };
  const std::optional<CascadeLive>& cascadeLive() const { return cascadeLive_; }
  CardColor worst() const;
  /// True while no background work is in flight (tests).
  bool idle() const { return *inFlight_ == 0; }

  // Card lifecycle.
  void volume(const VolumeEvent& e);
  void hold(const std::string& id);
  void start(const std::string& id, bool force);
  void dismiss(const std::string& id);
  void keepSlot2(const std::string& id);
  void verifyTwinCard(const std::string& id);
  /// Writes the anonymous folder tree of the card to path; the Korean error, if any. An existing
  /// file is replaced only when `replace` is set; `exists` tells the caller to ask.
  struct ExportError {
    std::string text;
    bool exists = false;
  };
  std::optional<ExportError> exportTree(const std::string& id, const std::string& path,
                                        bool replace = false);
  std::string nextCam() const;
  /// No new job starts after this (shutdown); jobs in flight run to their end.
  void stopStarting();

  // Settings, destinations, cascade.
  /// Changes one setting; the Korean reason when the value is refused (nothing changes then).
  std::optional<std::string> changeSetting(const std::string& key, const nlohmann::json& value);
  bool setSetting(const std::string& key, const nlohmann::json& value) {
    return !changeSetting(key, value);
  }
  /// The Korean refusal (also shown in cascadeNote) when path is one folder with, or nested in,
  /// a listed destination or second-copy destination; absent when added or already listed.
  std::optional<std::string> addDest(const std::string& path, bool cascade);
  void removeDest(const std::string& path, bool cascade);
  void suggestDestination(const std::string& path, const std::optional<std::string>& name);
  void acceptSuggestion(bool asCascade);
  void ignoreSuggestion();
  void setRole(const std::string& cam, const std::string& role);
  void editRules(const std::string& name);
  void setEditingRules(std::vector<Rule> rules) {
    editingRules_ = std::move(rules);
    changed();
  }
  void saveRules(const std::string& name);
  /// The second copy of every verified folder onto the second-copy drives, when no job runs or
  /// waits.
  void cascade();
  void recheckYellow();
  void applyProject(const struct ProjectFile& file);
  /// The Korean error in cascadeNote on failure; true on success.
  bool exportProject(const std::string& path);
  bool importProject(const std::string& path);

  // Terms, folder checks, login item.
  void acceptEULA();
  void checkPermissions();
  void setLoginItem(bool on);

  // Library and report.
  void runSearch(const std::string& text);
  void acceptRule(const Suggestion& s);
  /// True when the clip moved; libraryNote says what happened either way.
  bool reclassifyHit(const Hit& hit, const std::string& cls);
  /// A listed card's id, a finished card's or an earlier card's key; the last move's message is
  /// cleared with it.
  /// An earlier card's key reads its report from its clip list and the database; false (and no
  /// report open) when that cannot be read.
  bool setReportCard(const std::optional<std::string>& id);
  bool reclassifyClip(const Row& row, const std::string& cls);
  void spotCheck();
  void openReportFolder();

 private:
  CardItem* find(const std::string& id);
  FinishedCard* finishedEntry(const std::string& id);
  LastJob* reportJobMutable();
  const EarlierJob* earlierEntry(const std::string& key) const;
  /// Reads the earlier cards again, in the background.
  void refreshEarlier();
  void changed(Change c = Change::state);
  void log(const std::string& line);
  void save(const std::string& key);
  /// Runs work on a new thread; the function it returns runs on the main thread, unless the model
  /// is gone by then.
  void background(std::function<std::function<void()>()> work);

  void read(const std::string& id, std::vector<CardFile> files, bool incomplete, CardStatus status,
            CameraID camera, std::optional<std::string> knownLabel);
  void countdownTick(const std::string& id);
  /// Starts the next queued card's job when the queue allows one, then looks again.
  void pump(bool force);
  /// The first queued card whose camera label has no job running; null while none may start.
  CardItem* nextQueued();
  /// What the job of card c needs, taken from the settings as they are now.
  CardRunInput jobInput(const CardItem& c, bool force) const;
  /// The run's byte counts for card id, handed to the main thread a few times a second at most.
  BytesFn throttledBytes(const std::string& id);
  /// Runs card id's job on its own thread, progress to the main thread, then completed() there.
  void runJob(const std::string& id, CardRunInput in);
  void progress(const std::string& id, int64_t done, int64_t total, const std::string& file,
                int files, int fileCount);
  void bytes(const std::string& id, const ByteProgress& b);
  void mismatch(const std::string& id, const std::string& shootDate,
                const std::string& projectDate);
  /// A job ended: its verdict, log lines and report; the queue and the second copy go on.
  void completed(const std::string& id, const CardRunOutcome& out);
  void finish(const std::string& id, CardColor color, const std::string& text);
  void eject(const std::string& id, int attempt);
  void notify(const std::string& title, const std::string& body, bool critical);
  void webhook(const std::string& text);
  void watchdog(const std::string& id);
  void releaseSleep(const std::string& id);
  /// (verified folder on a destination, its folder on a second-copy drive) for every pair to copy.
  std::vector<std::pair<std::string, std::string>> cascadePairs();
  /// The second copy ended: its log lines, note, notice, webhook; yellow cards are looked at again.
  void cascadeDone(const CascadeTally& t);

  ModelServices svc_;
  ModelOptions opt_;
  Settings s_;
  PresetMap presets_;
  std::vector<CardItem> cards_;
  int running_ = 0;
  bool cascading_ = false;
  bool stopped_ = false;
  bool showOnboarding_ = false;
  std::chrono::system_clock::time_point startedAt_;
  std::optional<std::string> destSuggestion_, destSuggestionName_, cascadeNote_, loginItemNote_,
      libraryNote_;
  std::vector<PermCheck> permChecks_;
  mutable std::optional<bool> loginItemOn_;  // read back from the system, first when asked
  LastJobs lastJob_;
  std::string editingPreset_;
  std::vector<Rule> editingRules_;
  std::string searchText_;
  std::vector<Hit> hits_;
  std::vector<CardRecord> history_;
  std::vector<Suggestion> suggestions_;
  std::optional<std::string> reportCard_;
  std::vector<FinishedCard> finished_;
  int finishedSeq_ = 0;
  std::vector<EarlierJob> earlier_;
  std::optional<std::pair<std::string, LastJob>> earlierReport_;  // the open earlier card's report
  std::time_t startedAtWall_ = std::time(nullptr);  // reports written since are this run's
  std::optional<CascadeLive> cascadeLive_;
  std::map<std::string, RateMeter> rates_;  // running cards' byte rates
  std::map<std::string, std::unique_ptr<SleepGuard>> sleep_;
  std::set<std::string> gone_;  // cards unmounted while their job ran
  std::function<void(Change)> observer_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::shared_ptr<std::atomic<int>> inFlight_ = std::make_shared<std::atomic<int>>(0);
};

/// "%.1fGB" below 10^12 bytes, else "%.1fTB".
std::string sizeText(int64_t bytes);

}  // namespace tolverdine
