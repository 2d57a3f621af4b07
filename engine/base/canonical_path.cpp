#include "engine/base/canonical_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <sstream>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "os/fs.h"

namespace tolverdine {

namespace {

std::vector<std::string> components(const std::string& path) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) out.push_back(path.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

std::string joined(const std::vector<std::string>& parts, size_t count) {
  std::string s;
  for (size_t i = 0; i < count; ++i) s += "/" + parts[i];
  return s.empty() ? "/" : s;
}

std::string currentFolder() {
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof buf)) return buf;
  return "/";
}

// One line of /proc/self/mountinfo: which folder of which file system is shown where.
struct Mount {
  std::string device;  // "major:minor"
  std::string root;    // folder of the file system shown at `at`
  std::string at;
};

std::string unescaped(const std::string& s) {  // mountinfo writes space, tab, LF and "\" as \ooo
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      int v = 0;
      bool octal = true;
      for (size_t k = 1; k <= 3; ++k) {
        if (s[i + k] < '0' || s[i + k] > '7') octal = false;
        else v = v * 8 + (s[i + k] - '0');
      }
      if (octal) {
        out += static_cast<char>(v);
        i += 3;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

std::vector<Mount> mounts() {
  std::vector<Mount> out;
  std::string text;
  if (!readFile("/proc/self/mountinfo", &text)) return out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string id, parent, device, root, at;
    if (f >> id >> parent >> device >> root >> at)
      out.push_back({device, unescaped(root), unescaped(at)});
  }
  return out;
}

// The rest of path below folder ("" for the folder itself), or absent when path is not within it.
std::optional<std::string> below(const std::string& path, const std::string& folder) {
  if (folder == "/") return path == "/" ? std::string() : path;
  if (path == folder) return std::string();
  if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
      path[folder.size()] == '/')
    return path.substr(folder.size());
  return std::nullopt;
}

// A path seen through a bind mount, written through the mount that shows its file system from
// a higher folder (its own root when mounted normally), so both texts of one folder become one.
std::string throughMainMount(const std::string& path) {
  std::vector<Mount> all = mounts();
  const Mount* shown =
      nullptr;  // the innermost mount holding path; of equals, the later one is on top
  std::string rest;
  for (const auto& m : all) {
    auto r = below(path, m.at);
    if (r && (!shown || m.at.size() >= shown->at.size())) {
      shown = &m;
      rest = *r;
    }
  }
  if (!shown || shown->root == "/") return path;
  const Mount* best = nullptr;
  std::string inner;
  for (const auto& m : all) {
    // shown itself competes too, so two bind mounts of one folder both name the first listed.
    if (m.device != shown->device) continue;
    auto r = below(shown->root, m.root);
    if (r && (!best || m.root.size() < best->root.size())) {
      best = &m;
      inner = *r;
    }
  }
  if (!best || best == shown) return path;
  std::string tail = inner + rest;
  std::string other = best->at == "/" ? (tail.empty() ? std::string("/") : tail) : best->at + tail;
  // Only when the other text really reaches the same folder (its mount may be covered).
  struct stat a, b;
  if (realFs().stat(path, &a) != 0 || realFs().stat(other, &b) != 0 || a.st_dev != b.st_dev ||
      a.st_ino != b.st_ino)
    return path;
  return other;
}

struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const Identity&) const = default;
};

std::optional<Identity> identityOf(const std::string& path) {
  struct stat st;
  if (realFs().stat(path, &st) != 0) return std::nullopt;
  return Identity{st.st_dev, st.st_ino};
}

// a equals b or lies inside it.
bool within(const std::string& a, const std::string& b) {
  std::vector<std::string> pa = components(canonicalPath(a)), pb = components(canonicalPath(b));
  // b's nearest existing folder and the components below it that do not exist yet.
  size_t kb = pb.size();
  std::optional<Identity> anchor;
  for (;; --kb) {
    anchor = identityOf(joined(pb, kb));
    if (anchor || kb == 0) break;
  }
  if (!anchor) return false;
  for (size_t ka = pa.size() + 1; ka-- > 0;) {
    if (identityOf(joined(pa, ka)) != anchor) continue;
    // a = anchor/pa[ka..], b = anchor/pb[kb..]: a is within b when b's rest begins a's rest.
    if (pa.size() - ka < pb.size() - kb) return false;
    for (size_t i = 0; i < pb.size() - kb; ++i)
      if (pa[ka + i] != pb[kb + i]) return false;
    return true;
  }
  return false;
}

}  // namespace

std::string canonicalPath(const std::string& path) {
  if (path.empty()) return "";
  std::string abs = path[0] == '/' ? path : currentFolder() + "/" + path;
  std::vector<std::string> parts = components(abs);
  // The longest leading part the file system can resolve; everything after it does not exist.
  std::vector<std::string> out;
  size_t k = parts.size();
  for (;; --k) {
    if (auto r = realFs().realPath(joined(parts, k))) {
      out = components(throughMainMount(*r));
      break;
    }
    if (k == 0) break;
  }
  for (size_t i = k; i < parts.size(); ++i) {
    if (parts[i] == ".") continue;
    if (parts[i] == "..") {
      if (!out.empty()) out.pop_back();
      continue;
    }
    out.push_back(parts[i]);
  }
  return nfc(joined(out, out.size()));
}

std::string lexicalPath(const std::string& path) {
  std::vector<std::string> out;
  for (auto& part : components(path[0] == '/' ? path : currentFolder() + "/" + path)) {
    if (part == "..") {
      if (!out.empty()) out.pop_back();
    } else if (part != ".") {
      out.push_back(std::move(part));
    }
  }
  return joined(out, out.size());
}

std::vector<std::string> canonicalPaths(const std::vector<std::string>& paths) {
  std::vector<std::string> out;
  for (const auto& p : paths) {
    std::string c = canonicalPath(p);
    if (c.empty()) continue;
    bool seen = false;
    for (const auto& o : out) seen = seen || o == c;
    if (!seen) out.push_back(std::move(c));
  }
  return out;
}

bool sameOrNested(const std::string& a, const std::string& b) {
  return within(a, b) || within(b, a);
}

std::optional<std::pair<size_t, size_t>> overlappingPair(const std::vector<std::string>& paths) {
  for (size_t i = 0; i < paths.size(); ++i)
    for (size_t j = i + 1; j < paths.size(); ++j)
      if (sameOrNested(paths[i], paths[j])) return std::make_pair(i, j);
  return std::nullopt;
}

std::string overlapText(const std::string& a, const std::string& b) {
  return "두 목적지가 같은 폴더이거나 한쪽이 다른 쪽 안에 있습니다 — 한 폴더는 사본 하나로만 셉니다: " +
         a + " · " + b;
}

}  // namespace tolverdine
