// A web server over the fake backend, for the browser tests and for looking at the page without
// cards. With --drive it also takes the test's orders on POST /test/mount and /test/tick (behind
// the same token as everything else).
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "web/fake_backend.h"
#include "web/server.h"

using namespace tolverdine::web;

namespace {
volatile std::sig_atomic_t quit = 0;
void onSignal(int) { quit = 1; }
}  // namespace

int main(int argc, char** argv) {
  WebServerOptions opt;
  bool drive = false;
  int tickMs = 0;  // 0: ticks only through /test/tick
  long long step = 400'000'000;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--drive") drive = true;
    else if (a == "--port" && i + 1 < argc) opt.port = std::stoi(argv[++i]);
    else if (a == "--tick-ms" && i + 1 < argc) tickMs = std::stoi(argv[++i]);
    else if (a == "--token-file" && i + 1 < argc) opt.tokenPath = argv[++i];
    else {
      std::fprintf(
          stderr,
          "usage: web_demo_server [--drive] [--port N] [--tick-ms MS] [--token-file PATH]\n");
      return 2;
    }
  }
  FakeBackend backend;
  WebServer server(backend, opt);
  if (drive) {
    server.addPostRoute("/test/mount", [&](const std::string& body) {
      auto j = nlohmann::json::parse(body, nullptr, false);
      if (!j.is_object()) return std::string(R"({"ok":false})");
      std::optional<int> cd;
      if (j.contains("countdown") && j["countdown"].is_number()) cd = j["countdown"].get<int>();
      backend.mount(j.value("name", "CARD"), j.value("files", 3), j.value("bytes", 2'000'000'000LL),
                    cd);
      return std::string(R"({"ok":true})");
    });
    server.addPostRoute("/test/tick", [&](const std::string&) {
      backend.tick(step);
      return std::string(R"({"ok":true})");
    });
    server.addPostRoute("/test/calls", [&](const std::string&) {
      nlohmann::json out = nlohmann::json::array();
      for (const auto& c : backend.calls()) out.push_back({{"op", c.op}, {"args", c.args}});
      return out.dump();
    });
  }
  // Something to look at when nobody drives.
  if (!drive) backend.mount("A001", 3, 2'000'000'000LL, 10);
  if (!server.start()) {
    std::fprintf(stderr, "web_demo_server: %s\n", server.error().c_str());
    return 1;
  }
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  std::printf("%s\n", server.url().c_str());
  std::fflush(stdout);
  while (!quit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(tickMs > 0 ? tickMs : 100));
    if (tickMs > 0) backend.tick(step);
  }
  server.stop();
  return 0;
}
