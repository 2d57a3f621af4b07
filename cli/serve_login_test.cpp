// The login switch of a running `serve` writes an autostart entry that starts `serve` again with
// the same options; the entry's command line is run here and must serve the page.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "engine/base/files.h"
#include "platform/login_item.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

int freePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

// A running `serve` started with argv in cwd with exactly env; stopped by SIGTERM at scope end.
struct Serve {
  pid_t pid;
  std::string home, url;
  Serve(std::vector<std::string> argv, const std::string& cwd, const std::string& h) : home(h) {
    argv.insert(argv.begin(), {"/usr/bin/env", "-i", "-C", cwd, "HOME=" + home, "PATH=/nonexistent",
                               "LANG=C.UTF-8"});
    if ((pid = ::fork()) == 0) {
      std::vector<char*> a;
      for (auto& s : argv) a.push_back(s.data());
      a.push_back(nullptr);
      const int log = ::open((home + "/../serve.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      ::dup2(log, 1), ::dup2(log, 2);
      ::execv(a[0], a.data());
      ::_exit(127);
    }
    // The page address the instance leaves for `tolverdine open`.
    for (int i = 0; i < 300 && url.empty(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      readFile(home + "/Library/Application Support/TOLVERDINE/web.url", &url);
    }
    while (!url.empty() && url.back() == '\n') url.pop_back();
  }
  ~Serve() { stop(); }
  int stop() {
    if (pid <= 0) return -1;
    ::kill(pid, SIGTERM);
    int st = 0;
    ::waitpid(pid, &st, 0);
    pid = 0;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  int port() const { return std::stoi(url.substr(std::string("http://127.0.0.1:").size())); }
  nlohmann::json call(const std::string& op = "", bool on = false) const {
    httplib::Client c("127.0.0.1", port());
    c.set_read_timeout(10, 0);
    httplib::Headers h = {{"X-Tolverdine-Token", url.substr(url.find("token=") + 6)},
                          {"Origin", "http://127.0.0.1:" + std::to_string(port())}};
    auto r = op.empty()
                 ? c.Get("/api/state", h)
                 : c.Post("/api/act", h, nlohmann::json{{"op", op}, {"args", {{"on", on}}}}.dump(),
                          "application/json");
    return r && r->status == 200 ? nlohmann::json::parse(r->body) : nlohmann::json();
  }
};

}  // namespace

TEST(ServeLogin, TheAutostartEntryStartsServeWithTheInstancesOptions) {
  TempDir d;
  const std::string home = d.path + "/home", cards = d.path + "/cards";
  const std::string entry = home + "/.config/autostart/tolverdine.desktop";
  mkdirs(home);
  mkdirs(cards);
  const std::string port = std::to_string(freePort());
  std::vector<std::string> command;
  {
    // No systemctl on PATH: the switch falls back to the autostart entry.
    Serve s({TOLVERDINE_BINARY, "serve", "--watch", "cards", "--port", port}, d.path, home);
    ASSERT_FALSE(s.url.empty()) << slurp(d.path + "/serve.log");
    EXPECT_EQ(s.port(), std::stoi(port));
    EXPECT_EQ(s.call("setLoginItem", true)["ok"], true);
    EXPECT_EQ(s.call()["loginItem"], true);
    EXPECT_EQ(s.stop(), 0);
    EXPECT_FALSE(exists(home + "/Library/Application Support/TOLVERDINE/web.url"));
    const std::string text = slurp(entry);
    auto at = text.find("\nExec=");
    ASSERT_NE(at, std::string::npos) << text;
    auto exec = parseDesktopExec(text.substr(at + 6, text.find('\n', at + 1) - at - 6));
    ASSERT_TRUE(exec);
    command = *exec;
  }
  EXPECT_EQ(command,
            (std::vector<std::string>{std::filesystem::canonical(TOLVERDINE_BINARY).string(),
                                      "serve", "--watch", cards + "/", "--port", port}));
  // At login the command runs from the home folder: it serves the page on the same port.
  Serve again(command, home, home);
  ASSERT_FALSE(again.url.empty()) << slurp(d.path + "/serve.log");
  EXPECT_EQ(again.port(), std::stoi(port));
  EXPECT_EQ(again.call()["loginItem"], true);
  // Switching it off from this instance removes the entry again.
  again.call("setLoginItem", false);
  EXPECT_FALSE(exists(entry));
  EXPECT_EQ(again.stop(), 0);
}

}  // namespace tolverdine
