#include "engine/media/probe.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "engine/base/files.h"
#include "engine/base/iso_date.h"
#include "engine/base/text.h"
#include "engine/media/ffprobe_json.h"
#include "engine/media/sidecar_xml.h"
#include "os/fs.h"
#include "os/process.h"

namespace tolverdine {

const std::vector<std::string>& ffprobeSearchList() {
  static const std::vector<std::string> list = {
      "/opt/homebrew/bin/ffprobe", "/usr/local/bin/ffprobe",
      "/opt/homebrew/opt/ffmpeg-full/bin/ffprobe", "/usr/bin/ffprobe"};
  return list;
}

std::optional<std::string> findExecutable(const std::vector<std::string>& list) {
  for (const auto& p : list) {
    struct stat st;
    if (realFs().stat(p, &st) == 0 && S_ISREG(st.st_mode) && realFs().access(p, X_OK) == 0)
      return p;
  }
  return std::nullopt;
}

const std::optional<std::string>& ffprobePath() {
  static const std::optional<std::string> path = findExecutable(ffprobeSearchList());
  return path;
}

static ProbeTools defaultTools() {
  return ProbeTools{ffprobePath(), std::chrono::milliseconds(10000)};
}

std::optional<Meta> ffprobe(const std::string& path) { return ffprobe(path, defaultTools()); }

std::optional<Meta> ffprobe(const std::string& path, const ProbeTools& tools) {
  if (!tools.ffprobe) return std::nullopt;
  RunOptions opt;
  opt.timeout = tools.timeout;
  auto r = runProcess({*tools.ffprobe, "-v", "quiet", "-print_format", "json", "-show_format",
                       "-show_streams", path},
                      opt);
  if (!r || !r->ok() || r->truncated) return std::nullopt;
  return parseFfprobeJson(r->out);
}

namespace {

std::string stemOf(const std::string& name) {
  auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return name;
  return name.substr(0, dot);
}

}  // namespace

std::optional<double> sonyCreationDate(const std::string& path) {
  // "C0001.MP4" lies in the working folder, "/C0001.MP4" in the root.
  const std::string folder = path.find('/') == std::string::npos ? std::string(".")
                             : path.rfind('/') == 0              ? std::string("/")
                                                                 : parentPath(path);
  std::string want = lowerUnicode(stemOf(lastComponent(path))) + "m01.xml";

  std::vector<DirEntry> entries;
  if (realFs().list(folder, &entries) != 0) return std::nullopt;
  std::vector<std::string> names;
  for (auto& e : entries) names.push_back(std::move(e.name));
  std::sort(names.begin(),
            names.end());  // listing order is arbitrary; pick the same one every time
  auto hit = std::find_if(names.begin(), names.end(),
                          [&](const std::string& n) { return lowerUnicode(n) == want; });
  if (hit == names.end()) return std::nullopt;

  std::string xml;
  if (!readFile(folder + "/" + *hit, &xml)) return std::nullopt;
  return sonyCreationDateInXml(xml);
}

Meta probe(const std::string& path) { return probe(path, defaultTools()); }

Meta probe(const std::string& path, const ProbeTools& tools) {
  Meta m = avfProbe(path);
  if (m.t && m.dur) return m;
  if (auto f = ffprobe(path, tools)) {
    if (!m.t) m.t = f->t;
    if (!m.dur) m.dur = f->dur;
    if (m.ch == 0) m.ch = f->ch;
    if (!m.res) m.res = f->res;
    if (!m.fps) m.fps = f->fps;
  }
  if (!m.t) m.t = sonyCreationDate(path);
  return m;
}

}  // namespace tolverdine
