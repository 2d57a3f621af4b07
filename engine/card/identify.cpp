#include "engine/card/identify.h"

#include <sys/stat.h>

#include <set>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/card/card_names.h"
#include "engine/card/profiles.h"
#include "os/fs.h"

namespace tolverdine {

namespace {
std::vector<std::string> split(const std::string& s, char sep, bool keepEmpty) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    size_t at = s.find(sep, start);
    std::string piece = s.substr(start, at == std::string::npos ? std::string::npos : at - start);
    if (keepEmpty || !piece.empty()) out.push_back(std::move(piece));
    if (at == std::string::npos) return out;
    start = at + 1;
  }
}

std::string join(const std::string& dir, const std::string& name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

bool endsWithUpper(const std::string& s, std::string_view suffix) {
  if (s.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    char c = s[s.size() - suffix.size() + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != suffix[i]) return false;
  }
  return true;
}
}  // namespace

bool matchComponent(const std::string& name, const std::string& pattern) {
  std::string n = lowerUnicode(name), p = lowerUnicode(pattern);
  if (p.find('*') == std::string::npos) return n == p;
  std::vector<std::string> pieces = split(p, '*', true);
  const std::string& first = pieces.front();
  const std::string& last = pieces.back();
  if (n.compare(0, first.size(), first) != 0) return false;
  size_t pos = first.size();
  for (size_t i = 1; i + 1 < pieces.size(); ++i) {
    if (pieces[i].empty()) continue;
    size_t at = n.find(pieces[i], pos);
    if (at == std::string::npos) return false;
    pos = at + pieces[i].size();
  }
  // The last piece must lie in what the earlier pieces left over: "a*a" does not match "a".
  return n.size() - pos >= last.size() && n.compare(n.size() - last.size(), last.size(), last) == 0;
}

bool hasDir(const std::string& root, const std::string& pattern, const WalkFs& fs) {
  std::set<std::string> current{root};
  for (const auto& component : split(pattern, '/', false)) {
    std::set<std::string> next;
    for (const auto& dir : current) {
      std::vector<std::string> names;
      if (fs.list(dir, names) != 0) continue;
      for (const auto& name : names) {
        if (!matchComponent(name, component)) continue;
        std::string path = join(dir, name);
        struct ::stat st {};
        if (fs.stat(path, st) == 0 && S_ISDIR(st.st_mode)) next.insert(std::move(path));
      }
    }
    if (next.empty()) return false;
    current = std::move(next);
  }
  return true;
}

std::optional<CameraProfile> matchProfile(const std::vector<CameraProfile>& profiles,
                                          const std::string& root, const WalkFs& fs) {
  std::vector<std::string> top;
  if (fs.list(root, top) != 0) top.clear();
  for (const auto& p : profiles) {
    if (p.rootExt) {
      bool any = false;
      for (const auto& name : top)
        if (lowerExt(name) == *p.rootExt) {
          any = true;
          break;
        }
      if (!any) continue;
    }
    bool all = true;
    if (p.dirs)
      for (const auto& d : *p.dirs)
        if (!hasDir(root, d, fs)) {
          all = false;
          break;
        }
    if (all) return p;
  }
  return std::nullopt;
}

SonyDevice sonyDevice(const std::string& path) {
  struct ::stat st {};
  if (realFs().stat(path, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) > maxSidecarBytes)
    return {};
  std::string xml;
  if (!readFile(path, &xml) || xml.size() > maxSidecarBytes) return {};
  return sonyDeviceInXml(xml);
}

CameraID identify(const std::string& root, const std::vector<CardFile>& files,
                  const std::vector<CameraProfile>& profiles, const TagReader& tags) {
  std::optional<CameraProfile> prof = matchProfile(profiles, root);
  CameraID id;
  if (prof) {
    id.profile = prof->id;
    id.brand = prof->brand;
    id.line = prof->line;
  }
  for (const auto& f : files) {
    if (!endsWithUpper(f.rel, "M01.XML")) continue;
    SonyDevice d = sonyDevice(join(root, f.rel));
    if (d.model) {
      if (!prof) id.brand = "Sony";
      id.model = d.model;
      id.serial = d.serial;
      return id;
    }
    break;  // only the first metadata file is read
  }
  const CardFile* video = nullptr;
  for (const auto& f : files)
    if (videoExt().count(lowerExt(f.rel))) {
      video = &f;
      break;
    }
  if (!video || !tags) return id;
  bool makeTaken = false;
  for (const auto& t : tags(join(root, video->rel))) {
    switch (t.key) {
      case TagKey::model:
        if (!t.value.empty()) id.model = t.value;
        break;
      case TagKey::make:
        if (!t.value.empty() && !makeTaken) {
          id.brand = t.value;
          makeTaken = true;
        }
        break;
      case TagKey::software:
        // A bare "DJI " names no model.
        if (t.value.size() > 4 && t.value.rfind("DJI ", 0) == 0 && !id.model) {
          id.model = t.value.substr(4);
          id.brand = "DJI";
        }
        break;
    }
  }
  return id;
}

CameraID identify(const std::string& root, const std::vector<CardFile>& files) {
  return identify(root, files, Profiles::load(Profiles::overrideURL(), profilesPublicKey));
}

}  // namespace tolverdine
