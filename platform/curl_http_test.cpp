#include "platform/curl_http.h"

#include <httplib.h>

#include <thread>

#include <gtest/gtest.h>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/card/profile_fetch.h"
#include "engine/card/profiles.h"
#include "engine/card/signature.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

// A plain HTTP server on loopback serving the files under dir; any other path is 404.
struct LoopbackServer {
  httplib::Server srv;
  std::thread th;
  int port = 0;
  explicit LoopbackServer(const std::string& dir) {
    mkdirs(dir);
    srv.set_mount_point("/", dir);
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
  const std::string site = d.path + "/site";
  LoopbackServer s(site);
  CurlHttp http(std::chrono::seconds(5), 1u << 16);
  // Refused: a missing signature, a pack past the size limit, a signature that does not match;
  // then installed once, and the same version again is not.
  for (auto [pack, signature, installs] : {std::tuple{v2, std::string(), false},
                                           {std::string(1u << 17, ' '), sig, false},
                                           {v2, std::string("AAAA"), false},
                                           {v2, sig, true},
                                           {v2, sig, false}}) {
    ASSERT_EQ(sh("rm -rf '" + site + "'/*"), 0);
    mkdirs(site + parentPath(profilePackPath));
    writeFile(site + profilePackPath, pack);
    if (!signature.empty()) writeFile(site + profileSignaturePath, signature);
    EXPECT_EQ(fetchProfiles(http, s.url() + "/", dest, pub), installs) << signature;
    EXPECT_EQ(exists(dest), installs || (signature == sig && pack == v2));
  }
  std::string gone = LoopbackServer(d.path + "/gone").url();
  EXPECT_FALSE(fetchProfiles(http, gone, dest, pub));  // nobody listening
  EXPECT_EQ(Profiles::pack(dest, pub)->version, 2);
}

}  // namespace
}  // namespace tolverdine
