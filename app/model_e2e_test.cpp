// The whole road with real parts: the mount watcher sees a loop-mounted card, the model reads it,
// counts down, copies it onto two loop-mounted drives, writes the reports, posts the webhook to a
// loopback HTTPS server and unmounts the card.
#include <glib.h>

#include "app/model_test_util.h"
#include "platform/volume_uuid.h"
#include "platform/volume_watcher.h"
#include "testing/hook_server.h"

namespace tolverdine {
namespace {

TEST(ModelEndToEnd, LoopCardIsSeenCopiedReportedPostedAndUnmounted) {
  LoopMount card(16), d1(32), d2(32);
  SKIP_UNLESS_MOUNTED(card);
  SKIP_UNLESS_MOUNTED(d1);
  SKIP_UNLESS_MOUNTED(d2);
  HookServer hook;
  if (!hook.start()) GTEST_SKIP() << "no loopback HTTPS server (openssl missing)";
  mkdirs(card.path() + "/DCIM/100MSDCF");
  for (int i = 1; i <= 3; ++i)
    writePattern(card.path() + "/DCIM/100MSDCF/DSC0000" + std::to_string(i) + ".JPG", 40000 + i, i);
  ASSERT_EQ(sh("sync"), 0);

  TempDir home;
  JsonFilePreferences prefs(home.path);
  Terms terms{"약관", "fp-e2e"};
  prefs.set("eulaAccepted", "fp-e2e");
  prefs.set("project", "E2E");
  prefs.set("dests", nlohmann::json::array({d1.path(), d2.path()}));
  prefs.set("autoStart", true);
  prefs.set("autoSeconds", 1);
  prefs.set("webhook", hook.url("/ok"));

  GMainContext* ctx = g_main_context_new();
  {
    GlibScheduler main(ctx);
    SystemClock clock;
    FileAppLog log(&clock, false, home.path + "/app.log");
    FakeNotifier notifier;
    WebhookOptions wo;
    wo.caInfo = hook.ca();
    wo.context = ctx;
    CurlWebhookPoster webhook(wo);
    UDisksEjector ejector(5000);
    LsofVolumeHolders holders;
    SysfsReaderLink links;
    FakeOpener opener;
    VolumeWatcherOptions vo;
    vo.extraPrefixes = {parentPath(card.path()) + "/"};
    vo.loopRemovable = true;
    vo.context = ctx;
    LinuxVolumeWatcher watcher(vo);
    ModelServices svc{main,    prefs, log,   notifier, webhook,  ejector,
                      holders, links, clock, opener,   &watcher, {}};
    ModelOptions mo;
    mo.dbPath = home.path + "/state.db";
    mo.presetsV0 = home.path + "/v0.json";
    mo.presetsCustom = home.path + "/presets.json";
    mo.terms = terms;
    mo.volumeId = volumeUUID;
    mo.settleInterval = 0.1;
    mo.settleTries = 3;
    Model m(svc, mo);
    m.start();

    bool sawCard = false, green = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto posted = [&] {
      std::lock_guard<std::mutex> l(hook.m);
      return hook.got.size();
    };
    while (std::chrono::steady_clock::now() < end) {
      g_main_context_iteration(ctx, FALSE);
      if (const CardItem* c = m.card(card.path())) {
        sawCard = true;
        if (auto* f = c->phase.get<Phase::Finished>()) green = f->color == CardColor::green;
      }
      // Done once the card went green, the post arrived and the unmount took it off the list.
      if (green && posted() >= 1 && !m.card(card.path()) && m.idle()) break;
      g_usleep(10000);
    }
    EXPECT_TRUE(sawCard && green);
    EXPECT_EQ(m.card(card.path()), nullptr) << "the ejected card is no longer listed";
    ASSERT_EQ(posted(), 1u);
    EXPECT_EQ(
        nlohmann::json::parse(hook.got[0].first)["text"].get<std::string>().rfind("[E2E] ", 0), 0u);
    for (const auto* d : {&d1, &d2}) {
      EXPECT_EQ(sh("find '" + d->path() + "' -name 'DSC0000*.JPG' | wc -l | grep -qx 3"), 0)
          << d->path();
      EXPECT_EQ(sh("find '" + d->path() + "' -name '*.mhl' | grep -q ."), 0)
          << "hash list on " << d->path();
      EXPECT_EQ(sh("find '" + d->path() + "' -name '*.pdf' | grep -q ."), 0)
          << "printed report on " << d->path();
    }
    EXPECT_NE(sh("grep -q ' " + card.path() + " ' /proc/self/mounts"), 0) << "card still mounted";
    EXPECT_EQ(sh("grep -q '추출: " + card.path() + "' '" + home.path + "/app.log'"), 0);
  }
  g_main_context_unref(ctx);
}

}  // namespace
}  // namespace tolverdine
