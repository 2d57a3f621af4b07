#include "engine/media/probe.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>

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
                      sines = "-f lavfi -i sine -f lavfi -i sine=frequency=880 ",
                      stamp = " -metadata creation_time=2025-03-14T09:30:12Z";
    make(video + "-t 1 -c:v mpeg4" + stamp, "v0.mp4");
    make(video + sines +
             "-map 0:v -map 1:a -map 2:a -ac:a:0 2 -ac:a:1 1 -t 1.5 -c:v mpeg4 -c:a aac" + stamp,
         "v1.mov");
    make("320x180:rate=25 " + sines +
             "-map 0:v -map 1:a -map 2:a -t 1 -c:v mpeg2video -c:a pcm_s16le -ar 48000 -ac 1" +
             stamp,
         "v2.mxf");
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

TEST_F(Probe, EveryReaderGivesTheClipsKnownFieldsInMp4MovAndMxf) {
  ProbeTools tools{ffprobeBin};
  struct Clip {
    const char* file;
    double dur;
    int ch;
    const char* res;
    double fps;
  };
  // The clips differ where the readers may: no audio, two audio streams (2 and 1 channels), MXF.
  for (const Clip& c :
       {Clip{"v0.mp4", 1, 0, "160x90", 29.97}, Clip{"v1.mov", 1.5, 2, "160x90", 29.97},
        Clip{"v2.mxf", 1, 1, "320x180", 25}}) {
    auto f = ffprobe(at(c.file), tools);
    ASSERT_TRUE(f) << c.file;
    Meta lib = avfProbe(at(c.file));
    for (const Meta& m : {lib, *f, probe(at(c.file), tools)}) {
      SCOPED_TRACE(c.file);
      ASSERT_TRUE(m.dur && m.fps);
      EXPECT_NEAR(*m.dur, c.dur, 0.05);
      EXPECT_EQ(m.ch, c.ch);
      EXPECT_EQ(m.res, c.res);
      EXPECT_DOUBLE_EQ(*m.fps, c.fps);
      // ffmpeg's MXF writer keeps its own creation date (if any), not the one asked for.
      EXPECT_EQ(m.t, std::string(c.file) == "v2.mxf" ? lib.t : when);
    }
  }
}

TEST_F(Probe, SonySidecarGivesTheTimeTheClipLacks) {
  std::string clip = at("PRIVATE/M4ROOT/CLIP/C0001.MP4");
  ASSERT_FALSE(avfProbe(clip).t);  // the clip holds no time of its own
  Meta m = probe(clip, ProbeTools{ffprobeBin, std::chrono::seconds(10)});
  EXPECT_EQ(m.t, when);
  EXPECT_EQ(m.res, "160x90");
  // The sidecar is found in any letter case; its first readable date counts.
  std::string lower = at("PRIVATE/M4ROOT/CLIP/c0002.mp4");
  ASSERT_EQ(::link(clip.c_str(), lower.c_str()), 0);
  writeFile(at("PRIVATE/M4ROOT/CLIP/C0002m01.xml"),
            "<CreationDate value=\"\"/><CreationDate value=\"2025-03-14T09:30:12Z\"/>");
  EXPECT_EQ(probe(lower, {}).t, when);
  ::unlink(lower.c_str());
}

TEST_F(Probe, BrokenFilesGiveAbsentFieldsWithoutCrashing) {
  std::string good = slurp(at("v1.mov")), flipped = good;
  for (size_t i = 0; i < flipped.size(); i += 7) flipped[i] = static_cast<char>(flipped[i] ^ 0x5a);
  writeFile(at("cut.mov"), good.substr(0, good.size() / 3));
  writeFile(at("noise.mp4"), flipped);
  ProbeTools tools{ffprobeBin};
  EXPECT_EQ(probe(at("missing.mp4"), tools), Meta{});
  for (const char* f : {"cut.mov", "noise.mp4"}) {
    Meta m = probe(at(f), tools);  // whatever survives must be plausible
    EXPECT_TRUE(!m.dur || (std::isfinite(*m.dur) && *m.dur > 0)) << f;
    EXPECT_GE(m.ch, 0) << f;
  }
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
