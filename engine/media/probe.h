// Media metadata of one clip: the FFmpeg libraries in process, then the ffprobe program for what
// they left open, then a Sony XML sidecar for the recording time. Probing never fails; what no
// source can tell stays absent (ch 0).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/records.h"

namespace tolverdine {

/// How a scan reads the metadata of one file.
using ProbeFn = std::function<Meta(const std::string& path)>;

/// Where the ffprobe program is and how long one run may take.
struct ProbeTools {
  std::optional<std::string> ffprobe;
  std::chrono::milliseconds timeout{10000};
};

/// Library values first; ffprobe only when the library gave no time or no duration, filling
/// only the gaps; then the Sony sidecar for a still missing time.
Meta probe(const std::string& path);
Meta probe(const std::string& path, const ProbeTools& tools);

/// What libavformat reads from the file; empty Meta when it cannot open it.
Meta avfProbe(const std::string& path);

/// What the ffprobe program reports; absent when there is no tool, it cannot start, exits
/// non-zero, runs past the time-out or prints no JSON object.
std::optional<Meta> ffprobe(const std::string& path);
std::optional<Meta> ffprobe(const std::string& path, const ProbeTools& tools);

/// Recording time from <stem>M01.XML beside the clip (any letter case), seconds since the epoch.
std::optional<double> sonyCreationDate(const std::string& path);

/// Places where ffprobe is looked for, in order.
const std::vector<std::string>& ffprobeSearchList();
/// The first entry of list that is an executable regular file.
std::optional<std::string> findExecutable(const std::vector<std::string>& list);
/// The ffprobe of this process, chosen once on first use.
const std::optional<std::string>& ffprobePath();

}  // namespace tolverdine
