#include "platform/curl_http.h"

#include <httplib.h>

#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/card/profile_fetch.h"
#include "engine/card/profiles.h"
#include "engine/card/signature.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

// A plain HTTP server on loopback: path -> (status, body); any other path is 404.
struct LoopbackServer {
  httplib::Server srv;
  std::thread th;
  int port = 0;
  explicit LoopbackServer(std::map<std::string, std::pair<int, std::string>> routes) {
    srv.Get(".*", [routes](const httplib::Request& rq, httplib::Response& rs) {
      auto it = routes.find(rq.path);
      rs.status = it == routes.end() ? 404 : it->second.first;
      if (it != routes.end()) rs.set_content(it->second.second, "application/octet-stream");
    });
    port = srv.bind_to_any_port("127.0.0.1");
    th = std::thread([this] { srv.listen_after_bind(); });
    while (!srv.is_running()) std::this_thread::yield();
  }
  ~LoopbackServer() {
    srv.stop();
    th.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port); }
};

TEST(ProfileFetch, InstallsOnlyOnTwoOkResponses) {
  TempDir d;
  Ed25519Key key = Ed25519Key::generate();
  const std::string pub = key.publicKeyBase64(), dest = d.path + "/support/profiles.json";
  const std::string v2 = "{\"version\":2,\"profiles\":[]}", sig = signDetached(v2, key) + "\n";
  CurlHttp http(std::chrono::seconds(5), 1u << 16);
  // Refused: a missing signature, a pack past the size limit, a signature that does not match.
  for (auto [pack, signature] :
       std::vector<std::pair<std::pair<int, std::string>, std::pair<int, std::string>>>{
           {{200, v2}, {404, sig}},
           {{200, std::string(1u << 17, ' ')}, {200, sig}},
           {{200, v2}, {200, "AAAA"}}}) {
    LoopbackServer s({{profilePackPath, pack}, {profileSignaturePath, signature}});
    EXPECT_FALSE(fetchProfiles(http, s.url(), dest, pub))
        << pack.second.size() << " " << signature.second;
    EXPECT_FALSE(exists(dest));
  }
  {
    LoopbackServer s({{profilePackPath, {200, v2}}, {profileSignaturePath, {200, sig}}});
    EXPECT_TRUE(fetchProfiles(http, s.url() + "/", dest, pub));
    EXPECT_EQ(Profiles::pack(dest, pub)->version, 2);
    EXPECT_FALSE(fetchProfiles(http, s.url(), dest, pub));  // same version again
  }
  std::string gone = LoopbackServer({}).url();
  EXPECT_FALSE(fetchProfiles(http, gone, dest, pub));  // nobody listening
  EXPECT_EQ(Profiles::pack(dest, pub)->version, 2);
}

}  // namespace
}  // namespace tolverdine
