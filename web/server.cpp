#include "web/server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include "engine/base/files.h"
#include "web/assets.h"
#include "web/event_hub.h"
#include "web/request_guard.h"
#include "web/token.h"

namespace tolverdine::web {

using nlohmann::json;

namespace {

// File and volume names need not be valid UTF-8; they must not take the server down.
std::string dumpState(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<std::string> header(const httplib::Request& req, const char* name) {
  if (!req.has_header(name)) return std::nullopt;
  return req.get_header_value(name);
}

void securityHeaders(httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header(
      "Content-Security-Policy",
      "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data: blob:; "
      "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
}

}  // namespace

WebServer::WebServer(UiBackend& backend, WebServerOptions options)
    : backend_(backend), options_(std::move(options)), http_(std::make_unique<httplib::Server>()) {
  if (options_.tokenPath.empty()) options_.tokenPath = defaultTokenPath();
  // Every open stream holds a worker; leave room for the page's ordinary requests.
  const size_t workers = static_cast<size_t>(options_.maxStreams) + 8;
  http_->new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
  http_->set_payload_max_length(1 << 20);
  http_->set_keep_alive_max_count(100);
  // The library's default shares the port with any later server of the same user (SO_REUSEPORT),
  // which would split the page's requests between two tokens; take the port alone.
  http_->set_socket_options([](int sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
}

WebServer::~WebServer() { stop(); }

std::string WebServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/?token=" + token_;
}

void WebServer::addPostRoute(const std::string& path,
                             std::function<std::string(const std::string&)> h) {
  http_->Post(path, [h](const httplib::Request& req, httplib::Response& res) {
    res.set_content(h(req.body), "application/json; charset=utf-8");
  });
}

bool WebServer::start() {
  if (started_) return true;
  try {
    token_ = newToken();
  } catch (const std::exception& e) {
    error_ = e.what();
    return false;
  }
  // The file first: a server whose token nobody can find is of no use, and a failed bind below
  // leaves no socket behind.
  if (!writeTokenFile(options_.tokenPath, token_, &error_)) return false;
  if (options_.port == 0) {
    port_ = http_->bind_to_any_port("127.0.0.1");
  } else {
    port_ = http_->bind_to_port("127.0.0.1", options_.port) ? options_.port : -1;
  }
  if (port_ <= 0) {
    error_ = "bind 127.0.0.1:" + std::to_string(options_.port) + " failed";
    unlink(options_.tokenPath.c_str());
    return false;
  }
  hub_ = std::make_unique<EventHub>([this] { return dumpState(backend_.state()); },
                                    options_.progressGap);
  backend_.subscribe([hub = hub_.get()](Change c) { hub->post(c); });
  routes();
  thread_ = std::thread([this] { http_->listen_after_bind(); });
  // httplib's stop() does nothing before the listening loop has begun, so a stop right after a
  // start would leave that thread listening for ever; wait until it runs.
  for (int i = 0; i < 5000 && !http_->is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  started_ = true;
  return true;
}

void WebServer::stop() {
  if (!started_) return;
  started_ = false;
  backend_.subscribe({});
  hub_->stop();
  http_->stop();
  thread_.join();
  hub_.reset();
  // Remove the file only while it still names this process's token.
  std::string held;
  if (readFile(options_.tokenPath, &held) && held == token_ + "\n")
    unlink(options_.tokenPath.c_str());
}

void WebServer::routes() {
  auto& s = *http_;
  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    RequestFacts f;
    f.method = req.method;
    f.path = req.path;
    f.host = req.get_header_value("Host");
    f.origin = header(req, "Origin");
    f.headerToken = header(req, "X-Tolverdine-Token");
    f.fetchSite = header(req, "Sec-Fetch-Site");
    GuardResult g = guardRequest(f, port_, token_);
    securityHeaders(res);
    if (g.verdict == Verdict::refuse) {
      res.status = 403;
      res.set_content("403 거부됨 (" + g.reason + ")\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  // One document for every page; the script draws the page its address names. It carries no
  // token: the script takes it from the printed address once and keeps it in the tab.
  for (const char* page : {"/", "/settings", "/library", "/rules", "/report"})
    s.Get(page, [](const httplib::Request&, httplib::Response& res) {
      Asset a = asset("/index.html");
      res.set_content(std::string(a.body), "text/html; charset=utf-8");
    });
  for (const char* file : {"/app.js", "/app.css"})
    s.Get(file, [file](const httplib::Request&, httplib::Response& res) {
      Asset a = asset(file);
      res.set_content(std::string(a.body), std::string(a.contentType));
    });

  s.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });

  s.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(dumpState(backend_.state()), "application/json; charset=utf-8");
  });

  s.Post("/api/act", [this](const httplib::Request& req, httplib::Response& res) {
    json body = json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("op") || !body["op"].is_string()) {
      res.status = 400;
      res.set_content(R"({"ok":false,"message":"잘못된 요청"})", "application/json");
      return;
    }
    json args = body.value("args", json::object());
    if (!args.is_object()) args = json::object();
    ActionResult r = backend_.act(body["op"].get<std::string>(), args);
    res.set_content(
        dumpState(json{{"ok", r.ok}, {"message", r.message}, {"askReplace", r.askReplace}}),
        "application/json; charset=utf-8");
  });

  s.Get("/thumb", [this](const httplib::Request& req, httplib::Response& res) {
    auto img = backend_.thumbnail(req.get_param_value("path"));
    if (!img) {
      res.status = 404;
      return;
    }
    res.set_content(img->bytes, img->contentType);
  });

  s.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
    if (streams_.fetch_add(1) >= options_.maxStreams) {
      streams_.fetch_sub(1);
      res.status = 503;
      return;
    }
    res.set_header("X-Accel-Buffering", "no");
    auto seen = std::make_shared<uint64_t>(0);
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, seen](size_t, httplib::DataSink& sink) {
          auto snap = hub_->next(*seen, options_.keepAlive);
          if (hub_->stopped()) return false;
          std::string msg;
          if (snap) {
            *seen = snap->version;
            msg = "event: state\ndata: " + snap->data + "\n\n";
          } else {
            msg = ": keep-alive\n\n";
          }
          // A closed tab fails the write and frees the worker.
          return sink.write(msg.data(), msg.size());
        },
        [this](bool) { streams_.fetch_sub(1); });
  });
}

}  // namespace tolverdine::web
