// tolverdine demo: makes a small camera card (a loop-mounted image where the machine allows it),
// starts the application with its web page and two destination folders, and lets the card go the
// whole road: detected, identified, counted down, copied, verified, reported, green.
// Everything, the state database included, stays inside a temporary folder.
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <glib.h>
#include <unistd.h>

#include "cli/args.h"
#include "cli/linux_app.h"
#include "cli/resource_dir.h"
#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/card/walk.h"
#include "os/home.h"
#include "os/process.h"

namespace tolverdine::cli {

namespace {

// Random-looking bytes, so nothing on the way can shortcut the copy.
std::string pattern(size_t size, uint64_t seed) {
  std::string s(size, '\0');
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (auto& c : s) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    c = static_cast<char>(x);
  }
  return s;
}

// A real clip when ffmpeg is there, so probing, classes and sessions show; bytes otherwise.
void makeClip(const std::string& path, int seconds, const std::string& when, uint64_t seed) {
  const std::string ffmpeg = "/usr/bin/ffmpeg";
  if (exists(ffmpeg)) {
    std::string t = std::to_string(seconds);
    RunOptions opt;
    opt.timeout = std::chrono::milliseconds(60000);
    auto r = runProcess({ffmpeg,
                         "-nostdin",
                         "-loglevel",
                         "error",
                         "-y",
                         "-f",
                         "lavfi",
                         "-i",
                         "testsrc=size=640x360:rate=25",
                         "-f",
                         "lavfi",
                         "-i",
                         "sine=frequency=440",
                         "-t",
                         t,
                         "-ac",
                         "2",
                         "-c:v",
                         "mpeg4",
                         "-c:a",
                         "aac",
                         "-metadata",
                         "creation_time=" + when,
                         path},
                        opt);
    if (r && r->ok()) return;
  }
  writeFile(path, pattern(static_cast<size_t>(seconds) << 18, seed));
}

void listTree(const std::string& root) {
  WalkResult w = walk(root, realWalkFs());
  for (const auto& f : w.files)
    std::printf("  %s (%lld바이트)\n", f.rel.c_str(), static_cast<long long>(f.size));
}

void makeCard(const std::string& card) {
  for (const auto& d : {card + "/PRIVATE/M4ROOT/CLIP", card + "/DCIM/100MSDCF", card + "/AUDIO"})
    mkdirs(d);
  makeClip(card + "/PRIVATE/M4ROOT/CLIP/C0001.MP4", 2, "2025-03-14T09:30:00Z", 1);
  makeClip(card + "/PRIVATE/M4ROOT/CLIP/C0002.MP4", 6, "2025-03-14T09:41:00Z", 2);
  makeClip(card + "/PRIVATE/M4ROOT/CLIP/C0003.MP4", 4, "2025-03-14T14:05:00Z", 3);
  writeFile(card + "/PRIVATE/M4ROOT/CLIP/C0002M01.XML",
            "<?xml version=\"1.0\"?>\n<NonRealTimeMeta/>\n");
  writeFile(card + "/PRIVATE/M4ROOT/STATUS.BIN", pattern(512, 4));
  writeFile(card + "/DCIM/100MSDCF/DSC00001.JPG", pattern(300000, 5));
  writeFile(card + "/AUDIO/ZOOM0001.WAV", pattern(700000, 6));
}

int run(const std::vector<std::string>& argv) {
  RunOptions opt;
  opt.timeout = std::chrono::milliseconds(60000);
  auto r = runProcess(argv, opt);
  return r && r->ok() ? 0 : 1;
}

// The card as a loop-mounted ext4 image under mnt/ when this machine allows it (root, loop
// devices), so the real mount watcher sees it; empty when not.
std::string mountImage(const std::string& dir, const std::string& folder) {
  if (::geteuid() != 0 || !exists("/sbin/mkfs.ext4")) return "";
  const std::string img = dir + "/A001.img", mnt = dir + "/mnt/A001";
  mkdirs(mnt);
  if (run({"/sbin/mkfs.ext4", "-q", "-F", "-L", "A001", "-d", folder, img, "64M"}) != 0) return "";
  if (run({"/bin/mount", "-o", "loop", img, mnt}) != 0) return "";
  return mnt;
}

// A destination drive of its own, so that the two copies count as two: an ext4 image of its own
// as root; else a plain folder, and the two copies, on this machine's one drive, count as one.
std::string destinationDrive(const std::string& dir, const std::string& name) {
  const std::string path = dir + "/" + name, img = dir + "/" + name + ".img";
  mkdirs(path);
  if (::geteuid() == 0 && exists("/sbin/mkfs.ext4") &&
      run({"/sbin/mkfs.ext4", "-q", "-F", "-L", name, img, "1G"}) == 0)
    (void)run({"/bin/mount", "-o", "loop", img, path});
  return path;
}

// A folder card is no volume: there is nothing to unmount.
struct FolderEjector : Ejector {
  std::optional<EjectFailure> eject(const std::string&) override { return std::nullopt; }
};

std::string phaseText(const CardItem& c) {
  if (c.phase.is<Phase::Reading>()) return "읽는 중";
  if (c.phase.is<Phase::Queued>()) return "대기열";
  if (auto* w = c.phase.get<Phase::Waiting>())
    return w->countdown ? "자동 시작까지 " + std::to_string(*w->countdown) + "초"
                        : "기다림" + (c.note ? " — " + *c.note : "");
  if (auto* r = c.phase.get<Phase::Running>())
    return "복사 중 " + std::to_string(r->total > 0 ? r->done * 100 / r->total : 0) + "% " +
           r->file;
  auto* f = c.phase.get<Phase::Finished>();
  const char* mark = f->color == CardColor::green    ? "🟢"
                     : f->color == CardColor::yellow ? "🟡"
                                                     : "🔴";
  return std::string("끝 ") + mark + " " + f->text;
}

}  // namespace

int runDemo(int argc, char** argv) {
  auto args = parseArgs(argc, argv, {"port"}, {"stay", "folder"});
  if (!args || !args->positional.empty()) {
    std::fprintf(stderr, "사용법: tolverdine demo [--stay] [--folder] [--port N]\n");
    return 64;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/tolverdine-demo-XXXXXX";
  if (!::mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = tmpl;
  ::setenv("HOME", (dir + "/home").c_str(), 1);  // the demo's own database, settings and logs
  const std::string folder = dir + "/card";
  const std::string ssd1 = destinationDrive(dir, "SSD1"), ssd2 = destinationDrive(dir, "SSD2");
  std::printf("목적지 드라이브 두 개: %s · %s\n", ssd1.c_str(), ssd2.c_str());
  std::printf("== 예시 카드 만들기 (Sony 폴더 구조, ffmpeg 로 만든 클립)\n");
  makeCard(folder);
  listTree(folder);
  std::string card = args->has("folder") ? "" : mountImage(dir, folder);
  const bool mounted = !card.empty();
  if (mounted) std::printf("카드 이미지를 %s 에 마운트했습니다 (루프 장치)\n", card.c_str());
  else
    card = folder, std::printf("루프 마운트를 쓸 수 없어 폴더를 카드로 씁니다: %s\n", card.c_str());

  Terms terms = loadTerms(resourceDir(), "ko");
  const std::string support = applicationSupportDir();
  mkdirs(support);
  {
    // The demo stands in for the user on the first screen: terms, project, two destinations.
    JsonFilePreferences prefs(support);
    prefs.set("eulaAccepted", terms.fingerprint);
    prefs.set("project", "데모");
    prefs.set("dests", nlohmann::json::array({ssd1, ssd2}));
    prefs.set("autoStart", true);
    prefs.set("autoSeconds", 3);
    prefs.set("operator", "데모");
  }

  FolderEjector folderEject;
  LinuxAppOptions ao;
  ao.supportDir = support;
  ao.watch.extraPrefixes = {dir + "/mnt/"};
  ao.watch.loopRemovable = true;
  ao.watchVolumes = mounted;
  ao.terms = terms;
  if (auto p = args->last("port")) ao.port = positiveInt(*p).value_or(0);
  if (!mounted) ao.ejector = &folderEject;
  LinuxApp app(ao);
  if (!app.start()) return 1;
  Model& model = app.model();
  web::WebServer& server = app.server();
  std::printf("\n== 앱 시작 · 웹 화면: %s\n", server.url().c_str());
  if (!mounted) {
    VolumeEvent e;
    e.path = card;
    e.name = "A001";
    e.removable = true;
    model.volume(e);
  }

  GMainContext* ctx = g_main_context_default();
  std::string last;
  bool done = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  while (std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(ctx, FALSE);
    const CardItem* c = model.card(card);
    if (c) {
      // One line per phase, and per file while copying.
      std::string key =
          c->phase.is<Phase::Running>() ? c->phase.get<Phase::Running>()->file : phaseText(*c);
      if (key != last)
        std::printf("  %s · %s%s\n", c->name.c_str(),
                    c->cam.empty() ? "" : (c->cam + " · ").c_str(), phaseText(*c).c_str());
      last = key;
      if (c->phase.is<Phase::Finished>()) done = true;
    }
    // Finished, and (for an image) ejected: the unmount took it off the list.
    if (done && model.idle() && (!mounted || !c)) break;
    g_usleep(20000);
  }

  std::printf("\n== 결과\n");
  int rc = 1;
  for (const auto& d : {ssd1, ssd2}) {
    WalkResult w = walk(d, realWalkFs());
    std::string project, pdf;
    for (const auto& f : w.files) {
      if (project.empty()) project = f.rel.substr(0, f.rel.find('/'));
      if (f.rel.size() > 4 && f.rel.compare(f.rel.size() - 4, 4, ".pdf") == 0)
        pdf = d + "/" + f.rel;
    }
    std::printf("프로젝트 폴더: %s/%s (파일 %zu개)\n", d.c_str(), project.c_str(), w.files.size());
    if (!pdf.empty()) std::printf("PDF 리포트: %s\n", pdf.c_str());
  }
  for (const auto& c : model.cards())
    if (auto* f = c.phase.get<Phase::Finished>()) rc = f->color == CardColor::green ? 0 : 1;
  if (mounted && !model.card(card)) rc = 0;  // ejected after green
  std::printf("앱 기록: %s\n예시 폴더는 남겨 둡니다: %s\n", app.fileLog().path().c_str(),
              dir.c_str());
  if (args->has("stay")) {
    std::printf("웹 화면을 계속 엽니다 (Ctrl-C 로 끝): %s\n", server.url().c_str());
    std::fflush(stdout);
    for (;;) g_main_context_iteration(ctx, TRUE);
  }
  server.stop();
  return rc;
}

}  // namespace tolverdine::cli
