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
// Posts to url; the caller is not held, the answer comes through the future.
std::future<WebhookResult> post(CurlWebhookPoster& poster, const std::string& url) {
  auto p = std::make_shared<std::promise<WebhookResult>>();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(
      poster.post(url, "카드 끝 🟢", [p](const WebhookResult& r) { p->set_value(r); }));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms);
  return p->get_future();
}
// The answer's status and whether it is ok ("-1 no answer" after 10 s).
std::string await(std::future<WebhookResult> f) {
  if (f.wait_for(10s) != std::future_status::ready) return "-1 no answer";
  auto r = f.get();
  return std::to_string(r.status) + (r.ok() ? " ok" : r.error.empty() && r.status == 0 ? " ?" : "");
}
}  // namespace

TEST(Webhook, PostsToLoopbackHttpsWithoutHoldingTheCaller) {
  HookServer s;
  ASSERT_TRUE(s.start());
  CurlWebhookPoster poster(WebhookOptions{500ms, s.ca(), nullptr});
  // The hang first, so the others queue behind it; it ends by the time-out, with a reason.
  auto hang = post(poster, s.url("/hang"));
  auto ok = post(poster, s.url("/ok")), fail = post(poster, s.url("/fail"));
  EXPECT_EQ(await(std::move(hang)), "0");
  EXPECT_EQ(await(std::move(ok)), "200 ok");
  EXPECT_EQ(await(std::move(fail)), "500");
  // Plain http is refused at once; without the test certificate the server is not trusted.
  bool called = false;
  EXPECT_FALSE(poster.post("http://127.0.0.1:" + std::to_string(s.port) + "/ok", "x",
                           [&](const WebhookResult&) { called = true; }));
  CurlWebhookPoster untrusted(WebhookOptions{500ms, "", nullptr});
  EXPECT_EQ(await(post(untrusted, s.url("/ok"))), "0");
  EXPECT_FALSE(called);
  std::lock_guard<std::mutex> l(s.m);
  ASSERT_EQ(s.got.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(s.got[0].first)["content"], "카드 끝 🟢");
  EXPECT_EQ(s.got[0].second, "application/json");
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
