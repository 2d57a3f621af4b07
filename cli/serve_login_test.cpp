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
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

// argv in cwd with exactly env, output to log; the child's pid.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& cwd, const std::string& log) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(fd, 1), ::dup2(fd, 2);
    std::vector<char*> a, e;
    for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    for (const auto& s : env) e.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr), e.push_back(nullptr);
    ::execve(a[0], a.data(), e.data());
    ::_exit(127);
  }
  return pid;
}

// The page address the instance leaves for `tolverdine open`; empty when it never appears.
std::string waitForPage(const std::string& home) {
  std::string url;
  for (int i = 0; i < 300 && url.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    readFile(home + "/Library/Application Support/TOLVERDINE/web.url", &url);
  }
  while (!url.empty() && url.back() == '\n') url.pop_back();
  return url;
}

int stop(pid_t pid) {
  ::kill(pid, SIGTERM);
  int st = 0;
  ::waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

struct Page {
  int port = 0;
  std::string token;
  explicit Page(const std::string& url) {
    port = std::stoi(url.substr(std::string("http://127.0.0.1:").size()));
    token = url.substr(url.find("token=") + 6);
  }
  httplib::Headers headers() const {
    return {{"X-Tolverdine-Token", token}, {"Origin", "http://127.0.0.1:" + std::to_string(port)}};
  }
};
}  // namespace

TEST(ServeLogin, TheAutostartEntryStartsServeWithTheInstancesOptions) {
  TempDir d;
  const std::string home = d.path + "/home", cards = d.path + "/cards";
  mkdirs(home);
  mkdirs(cards);
  // No systemctl on PATH: the switch falls back to the autostart entry.
  const std::vector<std::string> env = {"HOME=" + home, "PATH=/nonexistent", "LANG=C.UTF-8"};
  const std::string port = std::to_string(freePort());
  pid_t first = spawn({TOLVERDINE_BINARY, "serve", "--watch", "cards", "--port", port}, env, d.path,
                      d.path + "/first.log");
  std::string url = waitForPage(home);
  ASSERT_FALSE(url.empty()) << slurp(d.path + "/first.log");
  Page page(url);
  EXPECT_EQ(page.port, std::stoi(port));
  httplib::Client c("127.0.0.1", page.port);
  c.set_read_timeout(10, 0);
  auto r = c.Post("/api/act", page.headers(), R"({"op":"setLoginItem","args":{"on":true}})",
                  "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_TRUE(nlohmann::json::parse(r->body)["ok"].get<bool>()) << r->body;
  auto state = c.Get("/api/state", page.headers());
  ASSERT_TRUE(state);
  EXPECT_EQ(nlohmann::json::parse(state->body)["loginItem"], true);
  EXPECT_EQ(stop(first), 0);
  EXPECT_FALSE(exists(home + "/Library/Application Support/TOLVERDINE/web.url"));

  const std::string entry = slurp(home + "/.config/autostart/tolverdine.desktop");
  auto at = entry.find("\nExec=");
  ASSERT_NE(at, std::string::npos) << entry;
  auto command = parseDesktopExec(entry.substr(at + 6, entry.find('\n', at + 1) - at - 6));
  ASSERT_TRUE(command);
  EXPECT_EQ(*command,
            (std::vector<std::string>{std::filesystem::canonical(TOLVERDINE_BINARY).string(),
                                      "serve", "--watch", cards + "/", "--port", port}));

  // At login the command runs from the home folder: it serves the page on the same port.
  pid_t again = spawn(*command, env, home, d.path + "/again.log");
  std::string url2 = waitForPage(home);
  ASSERT_FALSE(url2.empty()) << slurp(d.path + "/again.log");
  Page page2(url2);
  EXPECT_EQ(page2.port, page.port);
  httplib::Client c2("127.0.0.1", page2.port);
  c2.set_read_timeout(10, 0);
  auto s2 = c2.Get("/api/state", page2.headers());
  ASSERT_TRUE(s2);
  EXPECT_EQ(s2->status, 200);
  EXPECT_EQ(nlohmann::json::parse(s2->body)["loginItem"], true);
  // Switching it off from this instance removes the entry again.
  auto off = c2.Post("/api/act", page2.headers(), R"({"op":"setLoginItem","args":{"on":false}})",
                     "application/json");
  ASSERT_TRUE(off);
  EXPECT_FALSE(exists(home + "/.config/autostart/tolverdine.desktop"));
  EXPECT_EQ(stop(again), 0);
}

}  // namespace tolverdine
