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
};

TEST(WebServer, TokenOriginAndHostDecideEveryRequest) {
  Served s;
  struct stat st {};
  ASSERT_EQ(stat(s.server->tokenPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string token = s.server->token(), port = std::to_string(s.server->port());
  EXPECT_EQ(slurp(s.server->tokenPath()), token + "\n");
  EXPECT_EQ(token.size(), 64u);
  EXPECT_NE(s.server->url().find("?token=" + token), std::string::npos);

  // Data needs the token in a header: not in the address, nor in a cookie (cookies reach every
  // local port). A rebinding page reaches this port under its own name: even the page is refused.
  // A change needs the page's own origin too, and comes by POST.
  const std::string act = R"({"op":"addDestination","args":{"path":"/mnt/a"}})";
  std::string wrong = token;
  wrong[10] = wrong[10] == 'a' ? 'b' : 'a';
  const httplib::Headers none, good = {{"X-Tolverdine-Token", token}};
  auto with = [&](httplib::Headers h) { return h.emplace("X-Tolverdine-Token", token), h; };
  struct Row {
    std::string method, path;
    httplib::Headers headers;
    std::string body;
    int status;
  };
  for (const auto& r : std::vector<Row>{
           {"GET", "/api/state", none, "", 403},
           {"GET", "/events", none, "", 403},
           {"GET", "/thumb?path=/x", none, "", 403},
           {"GET", "/api/state", {{"X-Tolverdine-Token", wrong}}, "", 403},
           {"GET", "/api/state?token=" + token, none, "", 403},
           {"GET", "/api/state", {{"Cookie", "tolverdine_" + port + "=" + token}}, "", 403},
           {"GET", "/api/state", with({{"Host", "evil.example:" + port}}), "", 403},
           {"GET", "/", {{"Host", "evil.example:" + port}}, "", 403},
           {"GET", "/api/state", good, "", 200},
           {"POST", "/api/act", {{"Cookie", "tolverdine_" + port + "=" + token}}, act, 403},
           {"POST", "/api/act", {{"X-Tolverdine-Token", wrong}}, act, 403},
           {"POST", "/api/act", with({{"Origin", "http://evil.example"}}), act, 403},
           {"POST", "/api/act", with({{"Origin", "null"}}), act, 403},
           {"POST", "/api/act",
            with({{"Origin", "http://127.0.0.1:" + std::to_string(s.server->port() + 1)}}), act,
            403},
           {"POST", "/api/act", with({{"Host", "evil.example:" + port}}), act, 403},
           {"POST", "/api/act", with({{"Host", "127.0.0.1"}}), act, 403},
           {"POST", "/api/act", with({{"Sec-Fetch-Site", "cross-site"}}), act, 403},
           {"PUT", "/api/act", good, act, 403},
           {"POST", "/api/act", with({{"Origin", "http://localhost:" + port}}), "{not json",
            400}}) {
    auto c = s.client();
    auto res = r.method == "GET"   ? c.Get(r.path, r.headers)
               : r.method == "PUT" ? c.Put(r.path, r.headers, r.body, "application/json")
                                   : c.Post(r.path, r.headers, r.body, "application/json");
    ASSERT_TRUE(res) << r.method << " " << r.path;
    EXPECT_EQ(res->status, r.status) << r.method << " " << r.path << " " << r.body;
  }
  EXPECT_TRUE(s.backend.calls().empty());

  // The page's own files carry no token, set no cookie and load nothing from outside.
  auto c = s.client();
  for (const std::string& path : std::vector<std::string>{"/library?token=" + token, "/",
                                                          "/settings", "/app.js", "/app.css"}) {
    auto r = c.Get(path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << path;
    EXPECT_FALSE(r->has_header("Set-Cookie")) << path;
    EXPECT_EQ(r->body.find(token), std::string::npos) << path;
    EXPECT_TRUE(path == "/app.js" || r->body.find("http://") == std::string::npos) << path;
  }
  EXPECT_NE(c.Get("/")->get_header_value("Content-Security-Policy").find("default-src 'none'"),
            std::string::npos);

  const httplib::Headers own = with({{"Origin", "http://localhost:" + port}});
  auto ok = c.Post("/api/act", own, act, "application/json");
  ASSERT_TRUE(ok);
  EXPECT_TRUE(json::parse(ok->body)["ok"].get<bool>());
  ASSERT_EQ(s.backend.calls().size(), 1u);
  EXPECT_EQ(s.backend.calls()[0].args["path"], "/mnt/a");
  // The backend's refusal comes back as the page's message.
  const std::string rel = R"({"op":"addDestination","args":{"path":"rel/x"}})";
  auto bad = json::parse(c.Post("/api/act", own, rel, "application/json")->body);
  EXPECT_FALSE(bad["ok"].get<bool>() || bad["message"].get<std::string>().empty());

  const std::string path = s.server->tokenPath();
  s.server->stop();
  EXPECT_FALSE(exists(path));
}

// Reads one event stream on a thread and keeps every "data:" line.
struct Stream {
  std::vector<json> events;
  std::mutex mu;
  std::atomic<bool> quit{false};
  std::thread t;
  explicit Stream(Served& s) {
    t = std::thread([this, &s] {
      std::string buf;
      s.client().Get("/events", s.auth(), [&](const char* d, size_t n) {
        buf.append(d, n);
        for (size_t end; (end = buf.find("\n\n")) != std::string::npos; buf.erase(0, end + 2)) {
          auto at = buf.substr(0, end).find("data: ");
          std::lock_guard lk(mu);
          if (at != std::string::npos)
            events.push_back(json::parse(buf.substr(at + 6, end - at - 6)));
        }
        return !quit.load();
      });
    });
  }
  ~Stream() {
    quit = true;
    t.join();
  }
  size_t count() { return std::lock_guard(mu), events.size(); }
  json last() { return std::lock_guard(mu), events.empty() ? json() : events.back(); }
  bool waitFor(size_t n, std::chrono::milliseconds limit) {
    for (auto end = std::chrono::steady_clock::now() + limit; count() < n;)
      if (std::chrono::steady_clock::now() > end) return false;
      else std::this_thread::sleep_for(5ms);
    return true;
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
  EXPECT_EQ(s.client().Get("/api/state", s.auth())->status, 200);
}

TEST(WebServer, BusyPortFailsCleanly) {
  Served first;
  WebServerOptions o;
  o.port = first.server->port();
  o.tokenPath = first.dir.path + "/second.token";
  WebServer second(first.backend, o);
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
