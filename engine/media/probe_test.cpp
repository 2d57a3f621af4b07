#include "engine/media/probe.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "engine/base/files.h"
#include "testing/test_util.h"

namespace tolverdine {
namespace {

const std::string ffprobeBin = "/usr/bin/ffprobe";
const double when = 1741944612;  // 2025-03-14T09:30:12Z

// Tiny clips made once for the whole suite by the ffmpeg program.
class Probe : public ::testing::Test {
 protected:
  static inline TempDir* dir = nullptr;
  static inline std::string skipWhy;
  static std::string at(const std::string& rel) { return dir->path + "/" + rel; }
  static void make(const std::string& inputs, const std::string& out) {
    ShellOutput r =
        shellOutput("ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=" + inputs + " '" +
                    at(out) + "' 2>&1");
    if (r.code != 0) skipWhy += out + ": " + r.out + "\n";
  }
  static void SetUpTestSuite() {
    dir = new TempDir;
    if (::access("/usr/bin/ffmpeg", X_OK) != 0 || ::access(ffprobeBin.c_str(), X_OK) != 0) {
      skipWhy = "ffmpeg/ffprobe not installed";
      return;
    }
    const std::string video = "160x90:rate=30000/1001 ",
                      sines = "-f lavfi -i sine -f lavfi -i sine=frequency=880 ";
    make(video + sines +
             "-map 0:v -map 1:a -map 2:a -ac:a:0 2 -ac:a:1 1 -t 1.5 -c:v mpeg4 -c:a aac "
             "-metadata creation_time=2025-03-14T09:30:12Z",
         "v1.mov");
    mkdirs(at("PRIVATE/M4ROOT/CLIP"));
    make(video + "-t 1 -c:v mpeg4 -map_metadata -1", "PRIVATE/M4ROOT/CLIP/C0001.MP4");
    writeFile(at("PRIVATE/M4ROOT/CLIP/C0001M01.XML"),
              "<?xml version=\"1.0\"?><NonRealTimeMeta><CreationDate "
              "value=\"2025-03-14T18:30:12+09:00\"/></NonRealTimeMeta>");
  }
  static void TearDownTestSuite() { delete dir; }
  void SetUp() override {
    if (!skipWhy.empty()) GTEST_SKIP() << skipWhy;
  }
};

// Two audio streams (2 and 1 channels): the readers agree on every field.
TEST_F(Probe, EveryReaderGivesTheClipsKnownFieldsAndSonySidecarsTheTime) {
  ProbeTools tools{ffprobeBin};
  auto f = ffprobe(at("v1.mov"), tools);
  ASSERT_TRUE(f);
  for (const Meta& m : {avfProbe(at("v1.mov")), *f, probe(at("v1.mov"), tools)}) {
    ASSERT_TRUE(m.dur && m.fps);
    EXPECT_NEAR(*m.dur, 1.5, 0.05);
    EXPECT_EQ(m.ch, 2);
    EXPECT_EQ(m.res, "160x90");
    EXPECT_DOUBLE_EQ(*m.fps, 29.97);
    EXPECT_EQ(m.t, when);
  }
  std::string clip = at("PRIVATE/M4ROOT/CLIP/C0001.MP4");
  ASSERT_FALSE(avfProbe(clip).t);  // the clip holds no time of its own
  EXPECT_EQ(probe(clip, tools).t, when);
}

TEST_F(Probe, AFfprobeThatMisbehavesIsIgnoredAndAHungOneIsKilled) {
  std::string clip = at("PRIVATE/M4ROOT/CLIP/C0001.MP4");  // no container time: ffprobe is asked
  auto fake = [&](const std::string& name, const std::string& body) {
    std::string p = at(name);
    writeFile(p, "#!/bin/sh\n" + body + "\n");
    ::chmod(p.c_str(), 0755);
    return ProbeTools{p, std::chrono::milliseconds(500)};
  };
  Meta lib = avfProbe(clip);
  // What its output may hold is the parser's test; here a failed run, and a duration that must
  // be finite and above zero, as the library's.
  for (auto [name, body, answers] : std::vector<std::tuple<std::string, std::string, bool>>{
           {"fails", "echo '{\"format\":{\"duration\":\"9\"}}'; exit 1", false},
           {"nan", "echo '{\"format\":{\"duration\":\"nan\"}}'", true}}) {
    ProbeTools t = fake(name, body);
    auto f = ffprobe(clip, t);
    EXPECT_EQ(f.has_value(), answers) << name;
    EXPECT_FALSE(f && f->dur) << name;
    Meta m = probe(clip, t);
    EXPECT_EQ(m.dur, lib.dur) << name;
    EXPECT_EQ(m.t, when) << name;  // still from the sidecar
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ffprobe(clip, fake("hangs", "sleep 30 & sleep 30")));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(ffprobe(clip, ProbeTools{}));
}

}  // namespace
}  // namespace tolverdine
