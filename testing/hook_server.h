// A loopback HTTPS server with a certificate made for the run, for the webhook tests.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testing/test_util.h"

namespace tolverdine {

struct HookServer {
  TempDir dir;
  std::unique_ptr<httplib::SSLServer> srv;
  std::thread th;
  int port = 0;
  std::mutex m;
  std::vector<std::pair<std::string, std::string>> got;  // body, content type
  std::atomic<bool> release{false};

  bool start() {
    std::string key = dir.path + "/key.pem", cert = dir.path + "/cert.pem";
    if (sh("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext "
           "subjectAltName=IP:127.0.0.1 -keyout " +
           key + " -out " + cert + " >/dev/null 2>&1") != 0)
      return false;
    srv = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
    if (!srv->is_valid()) return false;
    srv->Post("/ok", [this](const httplib::Request& rq, httplib::Response& rs) {
      std::lock_guard<std::mutex> l(m);
      got.emplace_back(rq.body, rq.get_header_value("Content-Type"));
      rs.set_content("ok", "text/plain");
    });
    srv->Post("/fail", [](const httplib::Request&, httplib::Response& rs) { rs.status = 500; });
    srv->Post("/hang", [this](const httplib::Request&, httplib::Response&) {
      for (int i = 0; i < 1000 && !release; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    port = srv->bind_to_any_port("127.0.0.1");
    th = std::thread([this] { srv->listen_after_bind(); });
    return port > 0;
  }
  std::string url(const std::string& p) { return "https://127.0.0.1:" + std::to_string(port) + p; }
  std::string ca() { return dir.path + "/cert.pem"; }
  ~HookServer() {
    release = true;
    if (srv) srv->stop();
    if (th.joinable()) th.join();
  }
};

}  // namespace tolverdine
