#include "platform/curl_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// A one-thread HTTP/1.0 server on loopback: path -> (status, body), one request per connection.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::map<std::string, std::pair<int, std::string>> routes)
      : routes_(std::move(routes)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    ::listen(fd_, 8);
    thread_ = std::thread([this] { serve(); });
  }
  ~LoopbackServer() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  void serve() {
    while (true) {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      std::string req;
      char buf[1024];
      while (req.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::read(c, buf, sizeof buf);
        if (n <= 0) break;
        req.append(buf, static_cast<size_t>(n));
      }
      std::string path = req.substr(4, req.find(' ', 4) - 4);
      auto it = routes_.find(path);
      int status = it == routes_.end() ? 404 : it->second.first;
      std::string body = it == routes_.end() ? "" : it->second.second;
      std::string resp = "HTTP/1.0 " + std::to_string(status) +
                         " X\r\nContent-Length: " + std::to_string(body.size()) +
                         "\r\nConnection: close\r\n\r\n" + body;
      for (size_t off = 0; off < resp.size();) {
        ssize_t n = ::write(c, resp.data() + off, resp.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
      }
      ::close(c);
    }
  }
  std::map<std::string, std::pair<int, std::string>> routes_;
  int fd_ = -1, port_ = 0;
  std::thread thread_;
};

TEST(ProfileFetch, InstallsOnlyOnTwoOkResponses) {
  TempDir d;
  Ed25519Key key = Ed25519Key::generate();
  std::string pub = key.publicKeyBase64();
  std::string dest = d.path + "/support/profiles.json";
  std::string v2 = "{\"version\":2,\"profiles\":[]}";
  std::string sig = signDetached(v2, key) + "\n";
  CurlHttp http(std::chrono::seconds(5), 1u << 16);
  {
    LoopbackServer s({{profilePackPath, {200, v2}}, {profileSignaturePath, {404, sig}}});
    EXPECT_FALSE(fetchProfiles(http, s.url(), dest, pub));
    EXPECT_FALSE(exists(dest));
  }
  {
    LoopbackServer s(
        {{profilePackPath, {200, std::string(1u << 17, ' ')}}, {profileSignaturePath, {200, sig}}});
    EXPECT_FALSE(fetchProfiles(http, s.url(), dest, pub));  // body past the limit
  }
  {
    LoopbackServer s({{profilePackPath, {200, v2}}, {profileSignaturePath, {200, "AAAA"}}});
    EXPECT_FALSE(fetchProfiles(http, s.url(), dest, pub));
  }
  {
    LoopbackServer s({{profilePackPath, {200, v2}}, {profileSignaturePath, {200, sig}}});
    EXPECT_TRUE(fetchProfiles(http, s.url() + "/", dest, pub));
    EXPECT_EQ(Profiles::pack(dest, pub)->version, 2);
    EXPECT_FALSE(fetchProfiles(http, s.url(), dest, pub));  // same version again
  }
  std::string port;
  {
    LoopbackServer gone({});
    port = gone.url();
  }
  EXPECT_FALSE(fetchProfiles(http, port, dest, pub));  // nobody listening
  EXPECT_EQ(Profiles::pack(dest, pub)->version, 2);
}

}  // namespace
}  // namespace tolverdine
