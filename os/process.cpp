#include "os/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <utility>

#include "os/fd.h"

extern char** environ;

namespace tolverdine {

Child::Child(Child&& o) noexcept : pid_(std::exchange(o.pid_, -1)) {}

Child& Child::operator=(Child&& o) noexcept {
  if (this != &o) {
    kill();
    pid_ = std::exchange(o.pid_, -1);
  }
  return *this;
}

Child::~Child() { kill(); }

bool Child::poll(int* status) {
  if (pid_ < 0) return true;
  pid_t r;
  do r = ::waitpid(pid_, status, WNOHANG);
  while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  pid_ = -1;  // reaped (or not ours any more: ECHILD)
  return true;
}

void Child::kill() {
  if (pid_ < 0) return;
  // The child leads its own group, so helpers it started (a shell script's sleep) die with it.
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  int st;
  while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

namespace {

struct SpawnActions {
  posix_spawn_file_actions_t a;
  SpawnActions() { posix_spawn_file_actions_init(&a); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&a); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
};

struct SpawnAttr {
  posix_spawnattr_t a;
  SpawnAttr() { posix_spawnattr_init(&a); }
  ~SpawnAttr() { posix_spawnattr_destroy(&a); }
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;
};

bool makePipe(UniqueFd* rd, UniqueFd* wr) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  rd->reset(fds[0]);
  wr->reset(fds[1]);
  return true;
}

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// Appends what one read gives; false at end of file or on a hard error.
bool drain(int fd, std::string* buf, size_t cap, bool* truncated) {
  char chunk[65536];
  ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n < 0) return errno == EINTR || errno == EAGAIN;
  if (n == 0) return false;
  size_t room = buf->size() < cap ? cap - buf->size() : 0;
  if (static_cast<size_t>(n) > room) *truncated = true;
  buf->append(chunk, std::min(static_cast<size_t>(n), room));
  return true;
}

}  // namespace

std::optional<RunResult> runProcess(const std::vector<std::string>& argv, const RunOptions& opt) {
  if (argv.empty()) return std::nullopt;
  UniqueFd outRd, outWr, errRd, errWr;
  if (!makePipe(&outRd, &outWr)) return std::nullopt;
  if (opt.captureStderr && !makePipe(&errRd, &errWr)) return std::nullopt;

  SpawnActions fa;
  posix_spawn_file_actions_addopen(&fa.a, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa.a, outWr.get(), 1);
  if (opt.captureStderr) posix_spawn_file_actions_adddup2(&fa.a, errWr.get(), 2);
  else posix_spawn_file_actions_addopen(&fa.a, 2, "/dev/null", O_WRONLY, 0);

  SpawnAttr at;
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&at.a, &none);
  posix_spawnattr_setsigdefault(&at.a, &defaults);
  posix_spawnattr_setpgroup(&at.a, 0);
  posix_spawnattr_setflags(&at.a,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid;
  if (::posix_spawn(&pid, argv[0].c_str(), &fa.a, &at.a, args.data(), environ) != 0)
    return std::nullopt;
  Child child(pid);
  outWr.reset();
  errWr.reset();

  RunResult r;
  const auto deadline = Clock::now() + opt.timeout;
  bool outOpen = true, errOpen = static_cast<bool>(errRd);
  // Read both pipes to their end first: a child blocked on a full pipe never exits.
  while (outOpen || errOpen) {
    pollfd p[2];
    nfds_t n = 0;
    if (outOpen) p[n++] = {outRd.get(), POLLIN, 0};
    if (errOpen) p[n++] = {errRd.get(), POLLIN, 0};
    int left = msLeft(deadline);
    if (left == 0) break;
    int rc = ::poll(p, n, left);
    if (rc < 0 && errno != EINTR) break;
    if (rc <= 0) continue;
    for (nfds_t i = 0; i < n; ++i) {
      if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      bool isOut = p[i].fd == outRd.get();
      bool more = drain(p[i].fd, isOut ? &r.out : &r.err, opt.maxOutput, &r.truncated);
      if (!more) (isOut ? outOpen : errOpen) = false;
    }
  }

  if (outOpen || errOpen) {
    // Still open at the deadline: the child, or a helper that outlived it, holds the pipe.
    child.kill();
    r.timedOut = true;
    return r;
  }

  int st = 0;
  // A child may close its output and keep running; the same deadline covers the wait.
  auto nap = std::chrono::milliseconds(1);
  while (!child.poll(&st)) {
    if (msLeft(deadline) == 0) {
      child.kill();
      r.timedOut = true;
      return r;
    }
    std::this_thread::sleep_for(std::min(nap, std::chrono::milliseconds(msLeft(deadline))));
    nap = std::min(nap * 2, std::chrono::milliseconds(20));
  }
  if (WIFEXITED(st)) {
    r.status = WEXITSTATUS(st);
  } else if (WIFSIGNALED(st)) {
    r.signal = WTERMSIG(st);
  }
  return r;
}

}  // namespace tolverdine
