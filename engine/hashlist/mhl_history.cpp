#include "engine/hashlist/mhl_history.h"

#include <fnmatch.h>

#include <algorithm>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/hashlist/mhl.h"
#include "engine/hashlist/mhl_folder.h"

namespace tolverdine {

namespace {
std::vector<std::string> splitPath(const std::string& rel) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t i = 0; i <= rel.size(); ++i)
    if (i == rel.size() || rel[i] == '/') {
      if (i > start) out.push_back(rel.substr(start, i - start));
      start = i + 1;
    }
  return out;
}
}  // namespace

MHLHistory readMHLHistory(const std::string& root, Fs& fs) {
  MHLHistory h;
  std::string dir = root + "/" + kMHLFolder;
  for (auto& n : listFolder(dir, fs))
    if (n.size() >= 4 && n.compare(n.size() - 4, 4, ".mhl") == 0)
      h.generations.push_back(std::move(n));
  std::sort(h.generations.begin(), h.generations.end(),
            [](const std::string& a, const std::string& b) {
              int sa = mhlSequence(a).value_or(0), sb = mhlSequence(b).value_or(0);
              return sa != sb ? sa < sb : a < b;
            });
  for (const auto& name : h.generations) {
    std::string bytes;
    std::optional<MHLGeneration> g;
    if (readFile(dir + "/" + name, &bytes, fs)) g = parseMHLGeneration(bytes);
    if (!g) {
      h.unreadable.push_back(name);
      continue;
    }
    for (const auto& p : g->ignore)
      if (std::find(h.ignore.begin(), h.ignore.end(), p) == h.ignore.end()) h.ignore.push_back(p);
    for (auto& e : g->entries) {
      std::vector<std::vector<MHLHash>> past;
      if (e.previousPath) {
        auto it = h.files.find(nfc(*e.previousPath));
        if (it != h.files.end()) {
          past = std::move(it->second);
          h.files.erase(it);
        }
      }
      auto& list = h.files[nfc(e.path)];
      if (!past.empty()) list.insert(list.end(), past.begin(), past.end());
      list.push_back(std::move(e.hashes));
    }
  }
  return h;
}

std::optional<ExpectedHash> expectedHash(const std::vector<std::vector<MHLHash>>& entries) {
  for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
    std::optional<ExpectedHash> best;
    for (const auto& x : *e) {
      // A hash another check found not to match is what the file was, not what it should be.
      if (x.action == "failed" || x.value.empty()) continue;
      std::optional<HashType> t = hashTypeFromName(x.type);
      if (t && (!best || *t > best->type)) best = ExpectedHash{*t, x.value};
    }
    if (best) return best;
  }
  return std::nullopt;
}

bool mhlIgnored(const std::string& rel, bool isDir, const std::vector<std::string>& patterns) {
  std::vector<std::string> parts = splitPath(rel);
  for (std::string p : patterns) {
    bool dirOnly = !p.empty() && p.back() == '/';
    if (dirOnly) p.pop_back();
    if (p.empty()) continue;
    if (p.find('/') != std::string::npos) {
      // Anchored at the root: the path itself or any folder above it.
      if (p.front() == '/') p.erase(0, 1);
      std::string prefix;
      for (size_t i = 0; i < parts.size(); ++i) {
        prefix += (i ? "/" : "") + parts[i];
        bool folder = i + 1 < parts.size() || isDir;
        if ((folder || !dirOnly) && ::fnmatch(p.c_str(), prefix.c_str(), FNM_PATHNAME) == 0)
          return true;
      }
      continue;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
      bool folder = i + 1 < parts.size() || isDir;
      if ((folder || !dirOnly) && ::fnmatch(p.c_str(), parts[i].c_str(), 0) == 0) return true;
    }
  }
  return false;
}

}  // namespace tolverdine
