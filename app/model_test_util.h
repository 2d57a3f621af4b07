// A model over fake services and a manual main thread, with a card folder and two destinations.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/model.h"
#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/store/card_status.h"
#include "platform/app_log.h"
#include "platform/clock.h"
#include "platform/eject.h"
#include "platform/notifier.h"
#include "platform/opener.h"
#include "platform/preferences_store.h"
#include "platform/reader_link.h"
#include "platform/volume_holders.h"
#include "platform/webhook.h"
#include "testing/test_util.h"

namespace tolverdine {

struct CountingSleep : SleepGuard {
  std::shared_ptr<std::atomic<int>> held;
  explicit CountingSleep(std::shared_ptr<std::atomic<int>> h) : held(std::move(h)) {}
  void hold(const std::string&) override { ++*held; }
  void release() override { --*held; }
};

struct ModelRig {
  TempDir tmp;
  ManualScheduler main;
  FakePreferences prefs;
  FakeAppLog log;
  FakeNotifier notifier;
  FakeWebhookPoster webhook;
  FakeEjector ejector;
  FakeVolumeHolders holders;
  FakeReaderLink links;
  FakeClock clock;
  FakeOpener opener;
  std::shared_ptr<std::atomic<int>> sleepHeld = std::make_shared<std::atomic<int>>(0);
  std::map<std::string, std::string> volumes;                // mount path -> volume id
  std::map<std::string, std::optional<int64_t>> capacities;  // mount path -> size; unlisted: 64 GB
  std::unique_ptr<Model> model;

  // Two drives: one drive is one copy, however many folders of it are destinations.
  TempDrive drive1, drive2;
  std::string dest1() const { return drive1.path + "/d1"; }
  std::string dest2() const { return drive2.path + "/d2"; }

  /// A camera card with `files` photos at tmp/name, or with clips C0001.MP4 … when `clips`.
  std::string card(const std::string& name, int files = 2, unsigned seed = 1, bool clips = false) {
    const std::string root = tmp.path + "/" + name;
    const std::string dir = root + (clips ? "/PRIVATE/M4ROOT/CLIP" : "/DCIM/100MSDCF");
    mkdirs(dir);
    for (int i = 1; i <= files; ++i)
      writePattern(
          dir + (clips ? "/C000" : "/DSC0000") + std::to_string(i) + (clips ? ".MP4" : ".JPG"),
          (clips ? 4000 : 1000) + i, seed + i);
    return root;
  }

  /// Hidden folders in `folder` nested past the longest path the system takes: one of them cannot
  /// even be told a folder, so the card cannot be listed in full. Removed with the rig.
  void unlistable(const std::string& folder) {
    const std::string name = "." + std::string(200, 'x');
    unlistable_.push_back(folder + "/" + name);
    EXPECT_EQ(sh("cd '" + folder + "' && bash -c 'for i in $(seq 24); do mkdir " + name +
                 " && cd " + name + " || exit 1; done'"),
              0);
  }
  std::vector<std::string> unlistable_;

  /// Ready to go unless told otherwise: accepted terms, a project, two destinations.
  explicit ModelRig(bool ready = true) {
    if (!ready) return;
    mkdirs(dest1()), mkdirs(dest2());
    prefs.values["eulaAccepted"] = "fp", prefs.values["project"] = "데모";
    prefs.values["dests"] = {dest1(), dest2()};
  }

  /// Three copies asked of the two destinations: a card copied through ends yellow and stays
  /// mounted. Returns tmp/nas, an empty folder for the second copy.
  std::string secondCopyNeeded() {
    prefs.values["copies"] = 3;
    prefs.values["ejectOnGreen"] = false;
    return mkdirs(tmp.path + "/nas"), tmp.path + "/nas";
  }

  Model& make(const std::string& dbPath = "") {
    ModelServices svc{
        main,    prefs,   log,     notifier,
        webhook, ejector, holders, links,
        clock,   opener,  nullptr, [h = sleepHeld] { return std::make_unique<CountingSleep>(h); }};
    ModelOptions opt;
    opt.dbPath = dbPath.empty() ? tmp.path + "/state.db" : dbPath;
    opt.presetsV0 = tmp.path + "/presets-v0.json";
    opt.presetsCustom = tmp.path + "/presets.json";
    opt.terms = Terms{"약관", "fp"};
    opt.settleInterval = 0;
    opt.settleTries = 1;
    opt.volumeId = [this](const std::string& p) {
      return volumes.count(p) ? std::optional(volumes[p]) : std::nullopt;
    };
    opt.capacity = [this](const std::string& p) {
      return capacities.count(p) ? capacities[p] : std::optional<int64_t>(64'000'000'000LL);
    };
    opt.probe = [](const std::string&) { return Meta{}; };
    model = std::make_unique<Model>(svc, opt);
    return *model;
  }

  void mount(const std::string& path, bool removable = true) {
    VolumeEvent e;
    e.path = path, e.name = lastComponent(path), e.removable = removable;
    model->volume(e);
  }
  void unmount(const std::string& path) {
    VolumeEvent e;
    e.kind = VolumeEvent::Kind::unmounted, e.path = path;
    model->volume(e);
  }

  /// Runs the main thread until pred holds (background threads do their part meanwhile).
  template <class P> bool waitFor(P pred, int seconds = 30) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
      main.runPending();
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  /// Mounts a card and waits until it is read and waits for a start.
  bool waiting(const std::string& card) {
    mount(card);
    return waitFor([&] { return in<Phase::Waiting>(card); });
  }
  /// Waits for the card's verdict.
  const Phase::Finished* done(const std::string& card) {
    return waitFor([&] { return finished(card) != nullptr; }) ? finished(card) : nullptr;
  }
  /// Mounts a card, waits until it is read, starts it and waits for its verdict.
  const Phase::Finished* copyThrough(const std::string& card) {
    if (!waiting(card)) return nullptr;
    model->start(card, false);
    return done(card);
  }
  /// Waits until no background work is left and runs what it handed back.
  bool settle() {
    return waitFor([&] { return model->idle(); }) && (main.runPending(), true);
  }
  /// Waits until the second copy is over and its outcome reached the cards.
  bool cascaded() {
    return waitFor([&] { return !model->cascading() && model->idle(); }) &&
           (main.runPending(), true);
  }

  const CardItem& at(const std::string& id) {
    const CardItem* c = model->card(id);
    EXPECT_TRUE(c) << id;
    static CardItem none;
    return c ? *c : none;
  }
  template <class T> bool in(const std::string& id) {
    const CardItem* c = model->card(id);
    return c && c->phase.is<T>();
  }
  const Phase::Finished* finished(const std::string& id) {
    const CardItem* c = model->card(id);
    return c ? c->phase.get<Phase::Finished>() : nullptr;
  }
  /// Whether a log line begins with prefix.
  bool logged(const std::string& prefix) const {
    return std::any_of(log.lines.begin(), log.lines.end(),
                       [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }

  ~ModelRig() {
    if (model) settle();
    model.reset();
    for (const auto& p : unlistable_) sh("rm -rf '" + p + "'");  // deeper than remove_all goes
  }
};

}  // namespace tolverdine
