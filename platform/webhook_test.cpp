#include "platform/webhook.h"

#include <glib.h>
#include <gtest/gtest.h>

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
  EXPECT_TRUE(webhookURLAccepted("https://127.0.0.1:8443/hook"));
  for (const char* url :
       {"http://hooks.example.com/x", "HTTPS://hooks.example.com/x", "https://", "https:///path"})
    EXPECT_FALSE(webhookURLAccepted(url)) << url;

  auto j = nlohmann::json::parse(webhookBody("[P] A001 (A캠) — 🟢 \"끝\"\n"));
  EXPECT_EQ(j["text"], j["content"]);
  EXPECT_NO_THROW(nlohmann::json::parse(webhookBody(std::string("bad \xff utf8"))));
}

namespace {
// Posts to url; the caller is not held, the answer comes on the calling thread's context ctx.
std::future<WebhookResult> post(CurlWebhookPoster& poster, const std::string& url) {
  auto p = std::make_shared<std::promise<WebhookResult>>();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(poster.post(url, "카드 끝 🟢",
                          [p, caller = std::this_thread::get_id()](const WebhookResult& r) {
                            EXPECT_EQ(std::this_thread::get_id(), caller);
                            p->set_value(r);
                          }));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms);
  return p->get_future();
}
// The answer's status and whether it is ok ("-1 no answer" after 10 s), iterating ctx meanwhile.
std::string await(GMainContext* ctx, std::future<WebhookResult> f) {
  for (int i = 0; i < 1000 && f.wait_for(10ms) != std::future_status::ready; ++i)
    while (g_main_context_iteration(ctx, FALSE)) {
    }
  if (f.wait_for(0s) != std::future_status::ready) return "-1 no answer";
  auto r = f.get();
  return std::to_string(r.status) + (r.ok() ? " ok" : r.error.empty() && r.status == 0 ? " ?" : "");
}
}  // namespace

TEST(Webhook, PostsToLoopbackHttpsWithoutHoldingTheCaller) {
  HookServer s;
  ASSERT_TRUE(s.start());
  GMainContext* ctx = g_main_context_new();
  {
    CurlWebhookPoster poster(WebhookOptions{500ms, s.ca(), ctx});
    // The hang first, so the others queue behind it; it ends by the time-out, with a reason.
    auto hang = post(poster, s.url("/hang"));
    auto ok = post(poster, s.url("/ok")), fail = post(poster, s.url("/fail"));
    EXPECT_EQ(await(ctx, std::move(hang)), "0");
    EXPECT_EQ(await(ctx, std::move(ok)), "200 ok");
    EXPECT_EQ(await(ctx, std::move(fail)), "500");
    // Without the test certificate the server is not trusted.
    CurlWebhookPoster untrusted(WebhookOptions{500ms, "", ctx});
    EXPECT_EQ(await(ctx, post(untrusted, s.url("/ok"))), "0");
  }
  g_main_context_unref(ctx);
  std::lock_guard<std::mutex> l(s.m);
  ASSERT_EQ(s.got.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(s.got[0].first)["content"], "카드 끝 🟢");
  EXPECT_EQ(s.got[0].second, "application/json");
}

// A hook that never answers, a long time-out: dropping the poster must not wait for it, nor answer.
TEST(Webhook, QuickShutdown) {
  HookServer s;
  ASSERT_TRUE(s.start());
  bool answered = false;
  auto poster = std::make_unique<CurlWebhookPoster>(WebhookOptions{60000ms, s.ca(), nullptr});
  poster->post(s.url("/hang"), "x", [&](const WebhookResult&) { answered = true; });
  poster->post(s.url("/ok"), "x", [&](const WebhookResult&) { answered = true; });
  std::this_thread::sleep_for(200ms);
  auto t0 = std::chrono::steady_clock::now();
  poster.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
  EXPECT_FALSE(answered);
}

}  // namespace tolverdine
