#include "platform/volume_uuid.h"

#include <blkid/blkid.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace tolverdine {

namespace {

// mountinfo writes space, tab, newline and backslash in paths as \ooo octal escapes.
std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      const std::string oct = s.substr(i + 1, 3);
      if (oct.find_first_not_of("01234567") == std::string::npos) {
        out += static_cast<char>(std::stoi(oct, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

bool underMount(const std::string& path, const std::string& mnt) {
  if (mnt == "/") return !path.empty() && path[0] == '/';
  return path.compare(0, mnt.size(), mnt) == 0 &&
         (path.size() == mnt.size() || path[mnt.size()] == '/');
}

struct ProbeCloser {
  void operator()(blkid_probe p) const { blkid_free_probe(p); }
};

}  // namespace

std::optional<std::string> mountSource(const std::string& realPath, const std::string& mountinfo) {
  std::istringstream in(mountinfo);
  std::string line;
  std::optional<std::string> best;
  size_t bestLen = 0;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point options [optional...] - fstype source super-options
    std::istringstream f(line);
    std::vector<std::string> w;
    for (std::string t; f >> t;) w.push_back(t);
    if (w.size() < 5) continue;
    size_t dash = 6;
    while (dash < w.size() && w[dash] != "-") ++dash;
    if (dash + 2 >= w.size()) continue;
    std::string mnt = unescape(w[4]);
    if (!underMount(realPath, mnt) || mnt.size() < bestLen) continue;
    bestLen = mnt.size();
    best = unescape(w[dash + 2]);
  }
  return best;
}

std::optional<std::string> volumeUUID(const std::string& path) {
  char buf[PATH_MAX];
  if (!::realpath(path.c_str(), buf)) return std::nullopt;
  std::ifstream f("/proc/self/mountinfo");
  if (!f) return std::nullopt;
  std::stringstream ss;
  ss << f.rdbuf();
  auto source = mountSource(buf, ss.str());
  if (!source || source->empty() || (*source)[0] != '/')
    return std::nullopt;  // tmpfs, overlay, ...

  // A fresh probe rather than the blkid cache: a reformatted card must show its new UUID.
  std::unique_ptr<blkid_struct_probe, ProbeCloser> probe(
      blkid_new_probe_from_filename(source->c_str()));
  if (!probe) return std::nullopt;
  blkid_probe_enable_superblocks(probe.get(), 1);
  blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_UUID);
  if (blkid_do_safeprobe(probe.get()) != 0) return std::nullopt;
  const char* uuid = nullptr;
  size_t len = 0;
  if (blkid_probe_lookup_value(probe.get(), "UUID", &uuid, &len) != 0 || !uuid) return std::nullopt;
  std::string out(uuid, len);
  while (!out.empty() && out.back() == '\0') out.pop_back();  // len counts the terminator
  if (out.empty()) return std::nullopt;
  return out;
}

}  // namespace tolverdine
