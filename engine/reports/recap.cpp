#include "engine/reports/recap.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <thread>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/store/store.h"
#include "os/fs.h"
#include "os/home.h"

extern char** environ;

namespace tolverdine {

std::string newUuid() {
  std::random_device rd;
  unsigned char b[16];
  for (auto& c : b) c = static_cast<unsigned char>(rd());
  b[6] = (b[6] & 0x0F) | 0x40;
  b[8] = (b[8] & 0x3F) | 0x80;
  static const char* hex = "0123456789ABCDEF";
  std::string s;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
    s += hex[b[i] >> 4];
    s += hex[b[i] & 15];
  }
  return s;
}

std::optional<RecapManifest> recapManifest(const std::vector<Row>& rows, const IngestResult& result,
                                           const std::string& cam, CameraRole role,
                                           const std::string& project,
                                           const std::vector<std::string>& destinations,
                                           Store& store, const std::string& sessionId,
                                           std::time_t finishedAt) {
  if (result.color != CardColor::green || destinations.empty()) return std::nullopt;
  RecapManifest m;
  m.sessionId = sessionId;
  m.project = project;
  m.finishedAt = isoTime(finishedAt);
  m.destinations = destinations;
  const std::string& first = destinations.front();
  for (const Row& r : rows) {
    if (r.kind == Kind::etc || !r.dest) continue;
    if (!store.verifiedHash(ingestKey(cam, r), first)) continue;
    RecapClip c;
    c.path = first + "/" + *r.dest;
    c.kind = kindText(r.kind);
    c.camera = cam;
    if (role == CameraRole::fixed) c.cameraRole = "fixed";
    if (role == CameraRole::interview) c.cameraRole = "interview";
    c.bytes = r.size;
    if (r.meta.t) c.createdAt = isoTime(static_cast<std::time_t>(*r.meta.t));
    c.durationSec = r.meta.dur;
    m.clips.push_back(std::move(c));
  }
  return m;
}

template <class T> static nlohmann::json opt(const std::optional<T>& v) {
  return v ? nlohmann::json(*v) : nlohmann::json(nullptr);
}

std::string recapJson(const RecapManifest& m) {
  nlohmann::json clips = nlohmann::json::array();
  for (const auto& c : m.clips)
    clips.push_back({{"path", c.path},
                     {"kind", c.kind},
                     {"camera", c.camera},
                     {"cameraRole", opt(c.cameraRole)},
                     {"bytes", c.bytes},
                     {"createdAt", opt(c.createdAt)},
                     {"durationSec", opt(c.durationSec)}});
  nlohmann::json j = {{"version", m.version},
                      {"app", m.app},
                      {"appVersion", m.appVersion},
                      {"sessionId", m.sessionId},
                      {"project", m.project},
                      {"finishedAt", m.finishedAt},
                      {"verified", m.verified},
                      {"destinations", m.destinations},
                      {"clips", clips}};
  // Replacing invalid UTF-8 keeps a bad card name from aborting the whole manifest.
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void recapRun(const RecapManifest& m, const std::string& command, const std::string& dir,
              const std::string& logPath, std::function<void(const std::string&)> log) {
  if (!mkdirs(dir)) throw std::runtime_error("폴더를 만들지 못함: " + dir);
  const std::string manifest = dir + "/" + m.sessionId + ".json";
  try {
    writeFileAtomic(manifest, recapJson(m));
  } catch (const WriteFail& e) {
    throw std::runtime_error(manifest + ": " + std::strerror(e.err));
  }
  mkdirs(parentPath(logPath));
  // O_APPEND: the child and later runs only ever add to the log; a failed open drops the capture.
  int out = realFs().open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (out >= 0) {
    posix_spawn_file_actions_adddup2(&fa, out, 1);
    posix_spawn_file_actions_adddup2(&fa, out, 2);
  }
  std::string script = command + " \"$1\"";
  std::vector<std::string> args = {"/bin/sh", "-c", script, "tolverdine-recap", manifest};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, "/bin/sh", &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (out >= 0) ::close(out);
  if (rc != 0) throw std::runtime_error(std::string("/bin/sh: ") + std::strerror(rc));
  log("리캡 명령 시작: " + command + " " + manifest + " (pid " + std::to_string(pid) + ")");
  std::string id = m.sessionId;
  std::thread([pid, id, log] {
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    int code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    log("리캡 명령 끝: " + id + " · 종료 코드 " + std::to_string(code));
  }).detach();
}

std::string recapJobsDir() { return applicationSupportDir() + "/jobs"; }
std::string recapLogPath() { return applicationLogsDir() + "/recap.log"; }

static std::string trimBlanks(const std::string& s) {
  size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

bool recapAfterCard(const std::string& commandSetting, const std::vector<Row>& rows,
                    const IngestResult& result, const std::string& cam, CameraRole role,
                    const std::string& project, const std::vector<std::string>& projectFolders,
                    Store& store, std::function<void(const std::string&)> log) {
  const std::string cmd = trimBlanks(commandSetting);
  if (cmd.empty()) return false;
  std::vector<std::string> dests;
  for (const auto& d : projectFolders)
    if (std::find(result.lostDests.begin(), result.lostDests.end(), d) == result.lostDests.end())
      dests.push_back(d);
  auto m =
      recapManifest(rows, result, cam, role, project, dests, store, newUuid(), std::time(nullptr));
  if (!m) return false;
  try {
    recapRun(*m, cmd, recapJobsDir(), recapLogPath(), log);
    return true;
  } catch (const std::exception& e) {
    log(std::string("리캡 명령 실패: ") + e.what());
    return false;
  }
}

}  // namespace tolverdine
