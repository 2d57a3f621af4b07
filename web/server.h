// The local web interface: serves the built-in page on 127.0.0.1, guards every request with the
// process's token, hands the page's operations to the UiBackend and streams its state.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "web/ui_backend.h"

namespace httplib {
class Server;
}

namespace tolverdine::web {

class EventHub;

struct WebServerOptions {
  int port = 0;           // 0: any free port
  std::string tokenPath;  // empty: defaultTokenPath()
  std::chrono::milliseconds progressGap{250};
  std::chrono::milliseconds keepAlive{15000};  // comment line on idle streams
  int maxStreams = 16;
};

class WebServer {
 public:
  WebServer(UiBackend& backend, WebServerOptions options = {});
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  /// Binds 127.0.0.1, writes the token file, starts serving. False with error() on failure.
  bool start();
  /// Ends the streams, stops serving, removes the token file. Idempotent.
  void stop();

  int port() const { return port_; }
  const std::string& token() const { return token_; }
  const std::string& tokenPath() const { return options_.tokenPath; }
  /// "http://127.0.0.1:PORT/?token=..." — the address to open once.
  std::string url() const;
  const std::string& error() const { return error_; }

  /// An extra POST route behind the same guard (the demo's test driver); before start() only.
  /// The handler gets the body and answers a JSON text.
  void addPostRoute(const std::string& path, std::function<std::string(const std::string&)> h);

 private:
  void routes();

  UiBackend& backend_;
  WebServerOptions options_;
  std::string token_;
  std::string error_;
  int port_ = 0;
  std::unique_ptr<httplib::Server> http_;
  std::unique_ptr<EventHub> hub_;
  std::thread thread_;
  std::atomic<int> streams_{0};
  bool started_ = false;
};

}  // namespace tolverdine::web
