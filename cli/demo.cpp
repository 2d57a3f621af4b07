// tolverdine demo: makes a small camera card in a temporary folder, ingests it onto two
// destination folders, inserts it again (nothing is copied twice) and checks the hash lists.
// Everything, the state database included, stays inside the temporary folder.
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/files.h"
#include "engine/process.h"
#include "engine/text.h"
#include "engine/walk.h"

namespace tolverdine::cli {

int runIngest(int argc, char** argv);
int runVerify(int argc, char** argv);

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
    auto r = runProcess({ffmpeg, "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                         "testsrc=size=640x360:rate=25", "-f", "lavfi", "-i", "sine=frequency=440", "-t", t,
                         "-ac", "2", "-c:v", "mpeg4", "-c:a", "aac", "-metadata", "creation_time=" + when, path},
                        opt);
    if (r && r->ok()) return;
  }
  writeFile(path, pattern(static_cast<size_t>(seconds) << 18, seed));
}

int runWith(int (*cmd)(int, char**), std::vector<std::string> words) {
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  return cmd(static_cast<int>(words.size()), argv.data());
}

void listTree(const std::string& root) {
  WalkResult w = walk(root, realWalkFs());
  for (const auto& f : w.files) std::printf("  %s (%lld바이트)\n", f.rel.c_str(), static_cast<long long>(f.size));
}

}  // namespace

int runDemo(int, char**) {
  char tmpl[] = "/tmp/tolverdine-demo-XXXXXX";
  if (!::mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = tmpl;
  ::setenv("HOME", (dir + "/home").c_str(), 1);  // the demo's own state database and presets
  const std::string card = dir + "/card", ssd1 = dir + "/SSD1", ssd2 = dir + "/SSD2";
  for (const auto& d : {card + "/PRIVATE/M4ROOT/CLIP", card + "/DCIM/100MSDCF", card + "/AUDIO", ssd1, ssd2})
    mkdirs(d);

  std::printf("== 예시 카드 만들기: %s\n", card.c_str());
  makeClip(card + "/PRIVATE/M4ROOT/CLIP/C0001.MP4", 2, "2025-03-14T09:30:00Z", 1);
  makeClip(card + "/PRIVATE/M4ROOT/CLIP/C0002.MP4", 6, "2025-03-14T09:41:00Z", 2);
  makeClip(card + "/PRIVATE/M4ROOT/CLIP/C0003.MP4", 4, "2025-03-14T14:05:00Z", 3);
  writeFile(card + "/PRIVATE/M4ROOT/CLIP/C0002M01.XML", "<?xml version=\"1.0\"?>\n<NonRealTimeMeta/>\n");
  writeFile(card + "/PRIVATE/M4ROOT/STATUS.BIN", pattern(512, 4));
  writeFile(card + "/DCIM/100MSDCF/DSC00001.JPG", pattern(300000, 5));
  writeFile(card + "/AUDIO/ZOOM0001.WAV", pattern(700000, 6));
  listTree(card);

  std::vector<std::string> ingest = {"ingest", card, "--project", "데모", "--dest", ssd1, "--dest", ssd2,
                                     "--copies", "2", "--operator", "데모"};
  std::printf("\n== 두 목적지로 복사하고 검증하기\n");
  int rc = runWith(runIngest, ingest);

  std::printf("\n== 같은 카드를 다시 넣기 (이미 검증된 파일은 건너뜀)\n");
  int again = runWith(runIngest, ingest);

  WalkResult top = walk(ssd1, realWalkFs());
  std::string project;
  for (const auto& f : top.files) {
    auto slash = f.rel.find('/');
    if (slash != std::string::npos) project = f.rel.substr(0, slash);
  }
  std::printf("\n== 목적지 1의 프로젝트 폴더: %s/%s\n", ssd1.c_str(), project.c_str());
  listTree(ssd1 + "/" + project);

  std::printf("\n== 해시 목록으로 다시 확인하기\n");
  int verified = runWith(runVerify, {"verify", ssd1 + "/" + project});

  std::printf("\n예시 폴더는 남겨 둡니다: %s\n", dir.c_str());
  return rc == 0 && again == 0 && verified == 0 ? 0 : 1;
}

}  // namespace tolverdine::cli
