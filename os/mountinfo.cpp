#include "os/mountinfo.h"

#include <blkid/blkid.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <memory>
#include <sstream>

namespace tolverdine {

namespace {

// mountinfo writes space, tab, newline and backslash in paths as \ooo octal escapes.
std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
        s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      out += char((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

struct ProbeCloser {
  void operator()(blkid_probe p) const { blkid_free_probe(p); }
};

}  // namespace

std::vector<MountLine> parseMountLines(const std::string& text) {
  std::vector<MountLine> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point options [optional...] - fstype source super-options
    std::istringstream f(line);
    std::vector<std::string> w;
    for (std::string t; f >> t;) w.push_back(t);
    size_t dash = 6;
    while (dash < w.size() && w[dash] != "-") ++dash;
    if (dash + 2 >= w.size()) continue;
    unsigned maj = 0, min = 0;
    MountLine m{0, unescape(w[4]), unescape(w[dash + 2]), w[dash + 1]};
    if (std::sscanf(w[2].c_str(), "%u:%u", &maj, &min) == 2) m.dev = makedev(maj, min);
    out.push_back(std::move(m));
  }
  return out;
}

std::optional<std::string> probeUuid(const std::string& device) {
  std::unique_ptr<blkid_struct_probe, ProbeCloser> probe(
      blkid_new_probe_from_filename(device.c_str()));
  if (!probe) return std::nullopt;
  blkid_probe_enable_superblocks(probe.get(), 1);
  blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_UUID);
  const char* uuid = nullptr;
  size_t len = 0;
  if (blkid_do_safeprobe(probe.get()) != 0 ||
      blkid_probe_lookup_value(probe.get(), "UUID", &uuid, &len) != 0 || !uuid)
    return std::nullopt;
  std::string out(uuid, len);
  while (!out.empty() && out.back() == '\0') out.pop_back();  // len counts the terminator
  if (out.empty()) return std::nullopt;
  return out;
}

}  // namespace tolverdine
