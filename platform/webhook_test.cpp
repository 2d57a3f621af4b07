#include "platform/webhook.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "testing/hook_server.h"
#include "testing/test_util.h"

namespace tolverdine {

using namespace std::chrono_literals;

TEST(Webhook, OnlyHttpsUrlsAndBothBodyKeys) {
  for (const char* url :
       {"https://hooks.example.com/services/T0/B0/x", "https://127.0.0.1:8443/hook"})
    EXPECT_TRUE(webhookURLAccepted(url)) << url;
  for (const char* url : {"http://hooks.example.com/x", "HTTPS://hooks.example.com/x", "https://",
                          "https:///path", "ftp://x/y", "", "not a url"})
    EXPECT_FALSE(webhookURLAccepted(url)) << url;

  auto j = nlohmann::json::parse(webhookBody("[P] A001 (A캠) — 🟢 \"끝\"\n"));
  EXPECT_EQ(j.size(), 2u);
  EXPECT_EQ(j["text"], "[P] A001 (A캠) — 🟢 \"끝\"\n");
  EXPECT_EQ(j["content"], j["text"]);
  EXPECT_NO_THROW(nlohmann::json::parse(webhookBody(std::string("bad \xff utf8"))));
}

namespace {
WebhookResult await(std::future<WebhookResult>& f) {
  if (f.wait_for(10s) != std::future_status::ready) return {-1, "no answer"};
  return f.get();
}
// Posts text to url; the answer comes through the future.
std::future<WebhookResult> post(CurlWebhookPoster& poster, const std::string& url) {
  auto p = std::make_shared<std::promise<WebhookResult>>();
  auto f = p->get_future();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(
      poster.post(url, "카드 끝 🟢", [p](const WebhookResult& r) { p->set_value(r); }));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms) << "the caller is not held";
  return f;
}
}  // namespace

TEST(Webhook, PostsToLoopbackHttpsWithoutHoldingTheCaller) {
  HookServer s;
  ASSERT_TRUE(s.start());
  WebhookOptions o;
  o.caInfo = s.ca();
  o.timeout = 500ms;
  CurlWebhookPoster poster(o);

  auto hang = post(poster, s.url("/hang"));  // first, so the others queue behind it
  auto ok = post(poster, s.url("/ok"));
  auto fail = post(poster, s.url("/fail"));
  auto h = await(hang), k = await(ok), f = await(fail);
  EXPECT_FALSE(h.ok());
  EXPECT_EQ(h.status, 0);
  EXPECT_FALSE(h.error.empty());
  EXPECT_TRUE(k.ok()) << k.status << " " << k.error;
  EXPECT_EQ(f.status, 500);
  EXPECT_FALSE(f.ok());
  {
    std::lock_guard<std::mutex> l(s.m);
    ASSERT_EQ(s.got.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(s.got[0].first)["content"], "카드 끝 🟢");
    EXPECT_EQ(s.got[0].second, "application/json");
  }

  bool called = false;
  EXPECT_FALSE(poster.post("http://127.0.0.1:" + std::to_string(s.port) + "/ok", "x",
                           [&](const WebhookResult&) { called = true; }));

  // Without the test certificate the server is not trusted.
  CurlWebhookPoster untrusted(WebhookOptions{500ms, "", nullptr});
  auto uf = post(untrusted, s.url("/ok"));
  EXPECT_FALSE(await(uf).ok());
  EXPECT_FALSE(called);
  std::lock_guard<std::mutex> l(s.m);
  EXPECT_EQ(s.got.size(), 1u);
}

TEST(Webhook, AnswerOnTheMainContextAndQuickShutdown) {
  HookServer s;
  ASSERT_TRUE(s.start());
  GMainContext* ctx = g_main_context_new();
  std::thread::id where;
  int answers = 0;
  {
    CurlWebhookPoster poster(WebhookOptions{5000ms, s.ca(), ctx});
    poster.post(s.url("/ok"), "x", [&](const WebhookResult& r) {
      where = std::this_thread::get_id();
      answers += r.ok();
    });
    for (int i = 0; i < 500 && answers == 0; ++i) {
      while (g_main_context_iteration(ctx, FALSE)) {
      }
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(answers, 1);
    EXPECT_EQ(where, std::this_thread::get_id());
  }
  {
    // A hook that never answers, a long time-out: dropping the poster must not wait for it.
    auto poster = std::make_unique<CurlWebhookPoster>(WebhookOptions{60000ms, s.ca(), ctx});
    poster->post(s.url("/hang"), "x", [&](const WebhookResult&) { ++answers; });
    poster->post(s.url("/ok"), "x", [&](const WebhookResult&) { ++answers; });
    std::this_thread::sleep_for(200ms);
    auto t0 = std::chrono::steady_clock::now();
    poster.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
  }
  while (g_main_context_iteration(ctx, FALSE)) {
  }
  EXPECT_EQ(answers, 1);
  g_main_context_unref(ctx);
}

}  // namespace tolverdine
