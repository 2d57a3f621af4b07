#include "engine/hashlist/mhl.h"

#include <sys/stat.h>

#include <algorithm>

#include <utf8proc.h>

#include "engine/base/names.h"
#include "engine/base/text.h"
#include "engine/base/version.h"
#include "engine/copy/copy.h"
#include "engine/hashlist/mhl_folder.h"
#include "engine/hashlist/mhl_history.h"
#include "os/host.h"

namespace tolverdine {

namespace {
void replaceAll(std::string& s, std::string_view from, std::string_view to) {
  for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
    s.replace(pos, from.size(), to);
}

// XML 1.0 has no way to write most control characters or bytes that are not UTF-8. File names
// that hold them are left out of the lists (xmlCarriable); in other text (host, operator) such a
// character must not make the whole hash list unreadable, so it becomes U+FFFD. A carriage
// return is kept as a reference, since a parser would turn a literal one into a line feed.
std::string xmlSafe(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  auto* p = reinterpret_cast<const utf8proc_uint8_t*>(s.data());
  utf8proc_ssize_t len = static_cast<utf8proc_ssize_t>(s.size()), i = 0;
  while (i < len) {
    utf8proc_int32_t cp;
    utf8proc_ssize_t n = utf8proc_iterate(p + i, len - i, &cp);
    bool ok = n > 0 && (cp == 0x9 || cp == 0xA || (cp >= 0x20 && cp <= 0xD7FF) ||
                        (cp >= 0xE000 && cp <= 0xFFFD) || cp >= 0x10000);
    if (n > 0 && cp == 0xD) out += "&#13;";
    else if (ok) out.append(s, static_cast<size_t>(i), static_cast<size_t>(n));
    else out += "\xEF\xBF\xBD";
    i += n > 0 ? n : 1;
  }
  return out;
}

// Lines 1 to 6 of every generation: declaration, root element and the creator up to the tool.
std::string header(const std::string& date) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<hashlist version=\"2.0\" xmlns=\"urn:ASC:MHL:v2.0\">\n"
         "  <creatorinfo>\n"
         "    <creationdate>" +
         date +
         "</creationdate>\n"
         "    <hostname>" +
         xmlEscape(hostName()) +
         "</hostname>\n"
         "    <tool version=\"" +
         std::string(toolVersion()) + "\">TOLVERDINE</tool>\n";
}

// The project's whole ignore list, in every generation we write: the standard's tool takes the
// patterns of the newest generation only, and without them our reports folder (or a classified
// view) reads as files nobody listed. Ours first, then any an earlier generation named.
std::string ignoreBlock(const std::string& root, const NameSet& names, bool mirror, Fs& fs) {
  std::vector<std::string> patterns = {".DS_Store", "ascmhl", "ascmhl/"};
  auto pair = [&](const std::string& name) {
    patterns.push_back(name);
    patterns.push_back(name + "/");
  };
  pair(names.reports);
  if (mirror) {
    pair(names.footage);
    pair(names.audio);
    pair(names.photo);
  }
  for (const auto& p : readMHLHistory(root, fs).ignore)
    if (xmlCarriable(p) && std::find(patterns.begin(), patterns.end(), p) == patterns.end())
      patterns.push_back(p);
  std::string x = "    <ignore>\n";
  for (const auto& p : patterns) x += "      <pattern>" + xmlEscape(p) + "</pattern>\n";
  return x + "    </ignore>\n";
}

std::string pathLine(int64_t size, const std::string& mdate, const std::string& path) {
  return "      <path size=\"" + std::to_string(size) + "\" lastmodificationdate=\"" + mdate +
         "\">" + xmlEscape(nfc(path)) + "</path>\n";
}
}  // namespace

std::string xmlEscape(const std::string& s) {
  std::string out = s;
  replaceAll(out, "&", "&amp;");
  replaceAll(out, "<", "&lt;");
  replaceAll(out, ">", "&gt;");
  replaceAll(out, "\"", "&quot;");
  return xmlSafe(out);
}

bool xmlCarriable(const std::string& s) {
  auto* p = reinterpret_cast<const utf8proc_uint8_t*>(s.data());
  utf8proc_ssize_t len = static_cast<utf8proc_ssize_t>(s.size()), i = 0;
  while (i < len) {
    utf8proc_int32_t cp;
    utf8proc_ssize_t n = utf8proc_iterate(p + i, len - i, &cp);
    if (n <= 0) return false;
    bool ok = cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
              (cp >= 0xE000 && cp <= 0xFFFD) || cp >= 0x10000;
    if (!ok) return false;
    i += n;
  }
  return true;
}

std::string mhlDate(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[48];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S+00:00", &tm);
  return buf;
}

std::optional<int> mhlSequence(const std::string& fileName) {
  if (fileName.size() < 4) return std::nullopt;
  int v = 0;
  for (int i = 0; i < 4; ++i) {
    char c = fileName[i];
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v;
}

std::optional<std::string> writeMHLGeneration(const std::string& root,
                                              const std::vector<Verified>& items,
                                              const NameSet& names,
                                              const std::optional<std::string>& author,
                                              std::time_t now, Fs& fs) {
  std::string mirrorPrefix = names.mirror + "/";
  bool mirror = std::any_of(items.begin(), items.end(), [&](const Verified& v) {
    return v.row.dest && v.row.dest->compare(0, mirrorPrefix.size(), mirrorPrefix) == 0;
  });
  // Another name in the list would name a file that is not there: such files are left out.
  std::vector<const Verified*> sorted;
  for (const auto& v : items)
    if (xmlCarriable(v.row.dest.value_or(""))) sorted.push_back(&v);
  if (sorted.empty()) return std::nullopt;
  std::string date = mhlDate(now);
  std::stable_sort(sorted.begin(), sorted.end(), [](const Verified* a, const Verified* b) {
    return a->row.dest.value_or("") < b->row.dest.value_or("");
  });

  std::string x = header(date);
  if (author && !author->empty()) x += "    <author>" + xmlEscape(*author) + "</author>\n";
  x += "  </creatorinfo>\n"
       "  <processinfo>\n"
       "    <process>transfer</process>\n";
  x += ignoreBlock(root, names, mirror, fs);
  x += "  </processinfo>\n"
       "  <hashes>\n";
  for (const Verified* v : sorted) {
    x += "    <hash>\n";
    x += pathLine(v->row.size, mhlDate(static_cast<std::time_t>(v->row.mtimeNs / 1000000000)),
                  v->row.dest.value_or(""));
    if (v->md5)
      x += "      <md5 action=\"original\" hashdate=\"" + date + "\">" + *v->md5 + "</md5>\n";
    x += "      <xxh64 action=\"original\" hashdate=\"" + date + "\">" + v->hash + "</xxh64>\n";
    x += "    </hash>\n";
  }
  x += "  </hashes>\n"
       "</hashlist>\n";
  return writeGenerationFile(root, x, now, fs);
}

std::optional<std::string> writeMHLRenames(const std::string& root,
                                           const std::vector<MHLRename>& renames,
                                           const NameSet& names, std::time_t now, Fs& fs) {
  std::vector<const MHLRename*> listed;
  for (const auto& r : renames)
    if (xmlCarriable(r.oldPath) && xmlCarriable(r.newPath)) listed.push_back(&r);
  if (listed.empty()) return std::nullopt;
  std::string date = mhlDate(now);
  std::string x = header(date);
  x += "    <comment>분류 이동 (파일 내용은 그대로)</comment>\n"
       "  </creatorinfo>\n"
       "  <processinfo>\n"
       "    <process>in-place</process>\n" +
       ignoreBlock(root, names, false, fs) +
       "  </processinfo>\n"
       "  <hashes>\n";
  for (const MHLRename* m : listed) {
    const MHLRename& r = *m;
    std::string path = nfc(root + "/" + r.newPath);
    struct stat st;
    std::time_t mtime = fs.stat(path, &st) == 0 ? st.st_mtim.tv_sec : now;
    std::optional<std::string> h = hashFile(path, {}, fs);
    const char* action = h && *h == r.hash ? "verified" : "failed";
    x += "    <hash>\n";
    x += pathLine(r.size, mhlDate(mtime), r.newPath);
    x += std::string("      <xxh64 action=\"") + action + "\" hashdate=\"" + date + "\">" +
         h.value_or(r.hash) + "</xxh64>\n";
    x += "      <previousPath>" + xmlEscape(nfc(r.oldPath)) + "</previousPath>\n";
    x += "    </hash>\n";
  }
  x += "  </hashes>\n"
       "</hashlist>\n";
  return writeGenerationFile(root, x, now, fs);
}

}  // namespace tolverdine
