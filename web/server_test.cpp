#include "web/server.h"

#include <sys/stat.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "engine/base/files.h"
#include "testing/test_util.h"
#include "web/event_hub.h"
#include "web/fake_backend.h"

namespace tolverdine::web {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

struct Served {
  TempDir dir;
  FakeBackend backend;
  std::unique_ptr<WebServer> server;
  explicit Served(WebServerOptions o = {}) {
    o.tokenPath = dir.path + "/support/web.token";
    server = std::make_unique<WebServer>(backend, o);
    EXPECT_TRUE(server->start()) << server->error();
  }
  httplib::Client client() {
    httplib::Client c("127.0.0.1", server->port());
    c.set_read_timeout(5, 0);
    return c;
  }
  httplib::Headers auth() { return {{"X-Tolverdine-Token", server->token()}}; }
  std::string self() { return "127.0.0.1:" + std::to_string(server->port()); }
};

TEST(WebServer, TokenDecidesEveryRead) {
  Served s;
  struct stat st {};
  ASSERT_EQ(stat(s.server->tokenPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string held;
  ASSERT_TRUE(readFile(s.server->tokenPath(), &held));
  EXPECT_EQ(held, s.server->token() + "\n");
  EXPECT_EQ(s.server->token().size(), 64u);
  EXPECT_NE(s.server->url().find("?token=" + s.server->token()), std::string::npos);

  auto c = s.client();
  for (const char* path : {"/api/state", "/events", "/thumb?path=/x"}) {
    auto r = c.Get(path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403) << path;
  }
  std::string wrong = s.server->token();
  wrong[10] = wrong[10] == 'a' ? 'b' : 'a';
  EXPECT_EQ(c.Get("/api/state", {{"X-Tolverdine-Token", wrong}})->status, 403);
  // The token in the address or in a cookie opens nothing: cookies reach every local port.
  EXPECT_EQ(c.Get(("/api/state?token=" + s.server->token()).c_str())->status, 403);
  const std::string port = std::to_string(s.server->port());
  EXPECT_EQ(
      c.Get("/api/state", {{"Cookie", "tolverdine_" + port + "=" + s.server->token()}})->status,
      403);

  // The page's own files carry no token and set no cookie.
  auto first = c.Get(("/library?token=" + s.server->token()).c_str());
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 200);
  EXPECT_FALSE(first->has_header("Set-Cookie"));
  EXPECT_EQ(first->body.find(s.server->token()), std::string::npos);
  EXPECT_EQ(first->body.find("http://"), std::string::npos) << "no outside resources";
  EXPECT_NE(first->get_header_value("Content-Security-Policy").find("default-src 'none'"),
            std::string::npos);
  for (const char* path : {"/", "/settings", "/app.js", "/app.css"}) {
    auto r = c.Get(path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << path;
    EXPECT_EQ(r->body.find(s.server->token()), std::string::npos) << path;
  }
  auto state = c.Get("/api/state", s.auth());
  ASSERT_TRUE(state);
  EXPECT_EQ(state->status, 200);
  EXPECT_TRUE(json::parse(state->body).contains("cards"));
  // A rebinding page reaches this port under its own name; even its page files are refused.
  EXPECT_EQ(c.Get("/api/state",
                  {{"X-Tolverdine-Token", s.server->token()}, {"Host", "evil.example:" + port}})
                ->status,
            403);
  EXPECT_EQ(c.Get("/", {{"Host", "evil.example:" + port}})->status, 403);

  std::string path = s.server->tokenPath();
  s.server->stop();
  EXPECT_FALSE(exists(path));
}

TEST(WebServer, StateChangingRequestsNeedHeaderTokenAndOwnOrigin) {
  Served s;
  auto c = s.client();
  const std::string body = R"({"op":"addDestination","args":{"path":"/mnt/a"}})";
  const std::string port = std::to_string(s.server->port());
  std::vector<httplib::Headers> refused = {
      {{"Cookie", "tolverdine_" + port + "=" + s.server->token()}},  // cookie alone
      {{"X-Tolverdine-Token", s.server->token().substr(1) + "0"}},   // wrong token
      {{"X-Tolverdine-Token", s.server->token()}, {"Origin", "http://evil.example"}},
      {{"X-Tolverdine-Token", s.server->token()}, {"Origin", "null"}},
      {{"X-Tolverdine-Token", s.server->token()},
       {"Origin", "http://127.0.0.1:" + std::to_string(s.server->port() + 1)}},
      {{"X-Tolverdine-Token", s.server->token()}, {"Host", "evil.example:" + port}},
      {{"X-Tolverdine-Token", s.server->token()}, {"Host", "127.0.0.1"}},
      {{"X-Tolverdine-Token", s.server->token()}, {"Sec-Fetch-Site", "cross-site"}},
  };
  for (size_t i = 0; i < refused.size(); ++i) {
    auto r = c.Post("/api/act", refused[i], body, "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403) << "case " << i;
  }
  auto put =
      c.Put("/api/act", {{"X-Tolverdine-Token", s.server->token()}}, body, "application/json");
  EXPECT_EQ(put->status, 403);
  EXPECT_TRUE(s.backend.calls().empty());

  httplib::Headers good = {{"X-Tolverdine-Token", s.server->token()},
                           {"Origin", "http://localhost:" + port}};
  EXPECT_EQ(c.Post("/api/act", good, "{not json", "application/json")->status, 400);
  EXPECT_TRUE(s.backend.calls().empty());
  auto ok = c.Post("/api/act", good, body, "application/json");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200);
  EXPECT_TRUE(json::parse(ok->body)["ok"].get<bool>());
  ASSERT_EQ(s.backend.calls().size(), 1u);
  EXPECT_EQ(s.backend.calls()[0].args["path"], "/mnt/a");
  // The backend's refusal comes back as the page's message.
  auto bad = c.Post("/api/act", good, R"({"op":"addDestination","args":{"path":"rel/x"}})",
                    "application/json");
  EXPECT_FALSE(json::parse(bad->body)["ok"].get<bool>());
  EXPECT_FALSE(json::parse(bad->body)["message"].get<std::string>().empty());
}

// Reads one event stream on a thread and keeps every "data:" line.
struct Stream {
  std::vector<std::pair<std::chrono::steady_clock::time_point, json>> events;
  std::mutex mu;
  std::atomic<bool> quit{false};
  std::thread t;
  Stream(Served& s) {
    t = std::thread([this, &s] {
      auto c = s.client();
      std::string buf;
      c.Get("/events", s.auth(), [&](const char* d, size_t n) {
        buf.append(d, n);
        size_t end;
        while ((end = buf.find("\n\n")) != std::string::npos) {
          std::string ev = buf.substr(0, end);
          buf.erase(0, end + 2);
          auto at = ev.find("data: ");
          if (at == std::string::npos) continue;
          std::lock_guard lk(mu);
          events.emplace_back(std::chrono::steady_clock::now(), json::parse(ev.substr(at + 6)));
        }
        return !quit.load();
      });
    });
  }
  ~Stream() {
    quit = true;
    t.join();
  }
  size_t count() {
    std::lock_guard lk(mu);
    return events.size();
  }
  json last() {
    std::lock_guard lk(mu);
    return events.empty() ? json() : events.back().second;
  }
  bool waitFor(size_t n, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (count() < n && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    return count() >= n;
  }
};

TEST(WebServer, EventStreamPushesStateAtOnceAndCoalescesProgress) {
  WebServerOptions o;
  o.progressGap = 250ms;
  o.keepAlive = 50ms;
  Served s(o);
  Stream st(s);
  ASSERT_TRUE(st.waitFor(1, 2s)) << "the stream opens with the current state";
  EXPECT_TRUE(st.last()["cards"].empty());

  auto before = std::chrono::steady_clock::now();
  s.backend.mount("CARD_A", 3, 1000, 1000);
  ASSERT_TRUE(st.waitFor(2, 2s));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 200ms) << "a state change is not delayed";
  EXPECT_EQ(st.last()["cards"][0]["name"], "CARD_A");
  EXPECT_EQ(st.last()["cards"][0]["countdown"], 1000);

  // 100 progress signals over one second: at most one push per 250 ms, and the last value arrives.
  size_t start = st.count();
  for (int i = 0; i < 100; ++i) {
    s.backend.tick(0);  // countdown ticks are progress
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(400ms);
  size_t pushed = st.count() - start;
  EXPECT_GE(pushed, 3u);
  EXPECT_LE(pushed, 7u);
  ASSERT_EQ(s.backend.calls().size(), 0u);
  EXPECT_EQ(st.last()["cards"][0]["countdown"], 900) << "the last tick is not lost";

  // A volume name that is not UTF-8 reaches the page mended instead of ending the stream.
  size_t n = st.count();
  s.backend.mount("BAD\xff", 1, 1, std::nullopt);
  ASSERT_TRUE(st.waitFor(n + 1, 2s));
  EXPECT_EQ(st.last()["cards"][1]["name"], "BAD\xEF\xBF\xBD");
  auto c = s.client();
  EXPECT_EQ(c.Get("/api/state", s.auth())->status, 200);
}

TEST(WebServer, BusyPortFailsCleanly) {
  Served first;
  TempDir d;
  FakeBackend b;
  WebServerOptions o;
  o.port = first.server->port();
  o.tokenPath = d.path + "/web.token";
  WebServer second(b, o);
  EXPECT_FALSE(second.start());
  EXPECT_FALSE(second.error().empty());
  EXPECT_FALSE(exists(o.tokenPath)) << "no token file of a server that does not run";
}

TEST(EventHub, ProgressWaitsOutTheGapStateDoesNot) {
  std::atomic<int> made{0};
  EventHub hub([&] { return std::to_string(++made); }, 300ms);
  EXPECT_EQ(hub.next(0, 10ms)->version, 1u);
  hub.post(Change::progress);
  EXPECT_FALSE(hub.next(1, 100ms)) << "progress right after a push waits";
  hub.post(Change::state);
  auto s = hub.next(1, 100ms);
  ASSERT_TRUE(s) << "a state change overtakes the wait";
  EXPECT_EQ(s->version, 2u);
  hub.stop();
  EXPECT_FALSE(hub.next(2, 1s));
}

}  // namespace
}  // namespace tolverdine::web
