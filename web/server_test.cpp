#include "web/server.h"

#include <sys/stat.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include "engine/base/files.h"
#include "testing/test_util.h"
#include "web/fake_backend.h"

namespace tolverdine::web {
namespace {

using nlohmann::json;

TEST(WebServer, TokenOriginAndHostDecideEveryRequest) {
  TempDir dir;
  FakeBackend backend;
  WebServerOptions options;
  options.tokenPath = dir.path + "/support/web.token";
  WebServer server(backend, options);
  ASSERT_TRUE(server.start()) << server.error();
  auto client = [&] {
    httplib::Client c("127.0.0.1", server.port());
    c.set_read_timeout(5, 0);
    return c;
  };
  struct stat st {};
  ASSERT_EQ(stat(server.tokenPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string token = server.token(), port = std::to_string(server.port());
  EXPECT_EQ(slurp(server.tokenPath()), token + "\n");
  EXPECT_EQ(token.size(), 64u);

  // Data needs the token in a header: not in the address, nor in a cookie (cookies reach every
  // local port). A rebinding page reaches this port under its own name: even the page is refused.
  // A change needs the page's own origin too, and comes by POST. One guard decides every request:
  // a row per branch and per path the page reads.
  const std::string act = R"({"op":"addDestination","args":{"path":"/mnt/a"}})";
  std::string wrong = token;
  wrong[10] = wrong[10] == 'a' ? 'b' : 'a';
  const httplib::Headers none, good = {{"X-Tolverdine-Token", token}};
  const std::string otherPort = std::to_string(server.port() + 1);
  auto with = [&](httplib::Headers h) { return h.emplace("X-Tolverdine-Token", token), h; };
  using Request = std::tuple<std::string, std::string, httplib::Headers, std::string, int>;
  for (const auto& [method, path, headers, body, status] : std::vector<Request>{
           {"GET", "/api/state", none, "", 403},
           {"GET", "/events", none, "", 403},
           {"GET", "/thumb?path=/x", none, "", 403},
           {"GET", "/api/state", {{"X-Tolverdine-Token", wrong}}, "", 403},
           {"GET", "/api/state?token=" + token, none, "", 403},
           {"GET", "/api/state", {{"Cookie", "tolverdine_" + port + "=" + token}}, "", 403},
           {"GET", "/api/state", with({{"Host", "evil.example:" + port}}), "", 403},
           {"GET", "/", {{"Host", "evil.example:" + port}}, "", 403},
           {"GET", "/api/state", good, "", 200},
           {"POST", "/api/act", with({{"Origin", "http://evil.example"}}), act, 403},
           {"POST", "/api/act", with({{"Origin", "null"}}), act, 403},
           {"POST", "/api/act", with({{"Origin", "http://127.0.0.1:" + otherPort}}), act, 403},
           {"POST", "/api/act", with({{"Host", "127.0.0.1"}}), act, 403},
           {"POST", "/api/act", with({{"Sec-Fetch-Site", "cross-site"}}), act, 403},
           {"PUT", "/api/act", good, act, 403},
           {"POST", "/api/act", with({{"Origin", "http://localhost:" + port}}), "{not json",
            400}}) {
    auto c = client();
    auto res = method == "GET"   ? c.Get(path, headers)
               : method == "PUT" ? c.Put(path, headers, body, "application/json")
                                 : c.Post(path, headers, body, "application/json");
    ASSERT_TRUE(res) << method << " " << path;
    EXPECT_EQ(res->status, status) << method << " " << path << " " << body;
  }
  EXPECT_TRUE(backend.calls().empty());

  // The page's own files carry no token, set no cookie and load nothing from outside.
  auto c = client();
  for (const std::string& path : std::vector<std::string>{"/library?token=" + token, "/",
                                                          "/settings", "/app.js", "/app.css"}) {
    auto r = c.Get(path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << path;
    EXPECT_FALSE(r->has_header("Set-Cookie")) << path;
    EXPECT_FALSE(contains(r->body, token)) << path;
    EXPECT_TRUE(path == "/app.js" || !contains(r->body, "http://")) << path;
  }
  EXPECT_TRUE(
      contains(c.Get("/")->get_header_value("Content-Security-Policy"), "default-src 'none'"));
  // (A change from the page's own origin, and a refusal shown: the browser flow.)

  // A volume name that is not UTF-8 reaches the page mended instead of failing the state (the event
  // stream writes the same text).
  backend.mount("BAD\xff", 1, 1, std::nullopt);
  EXPECT_EQ(json::parse(c.Get("/api/state", good)->body)["cards"][0]["name"], "BAD\xEF\xBF\xBD");

  const std::string path = server.tokenPath();
  server.stop();
  EXPECT_FALSE(exists(path));
}

}  // namespace
}  // namespace tolverdine::web
