#include "engine/hashlist/mhl_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>
#include <utility>

#include "engine/base/files.h"
#include "engine/base/folder_lock.h"
#include "engine/base/records.h"
#include "engine/base/rename.h"
#include "engine/base/text.h"
#include "engine/hashlist/c4.h"
#include "engine/hashlist/mhl.h"
#include "engine/hashlist/mhl_read.h"

namespace tolverdine {

namespace {
constexpr size_t kMaxName = 255;  // bytes of one file name on every file system we write to

bool endsWith(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Cuts s to at most n bytes without splitting a UTF-8 sequence.
std::string cutUtf8(const std::string& s, size_t n) {
  if (s.size() <= n) return s;
  size_t end = n;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}

std::string folderName(const std::string& root) {
  std::string r = root;
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  return lastComponent(r);
}

// NNNN_FOLDER_yyyy-MM-dd_HHmmssZ.mhl in NFC. A folder name too long for the whole name to fit
// in one directory entry is shortened, or no hash list could ever be written for it.
std::string generationName(int seq, const std::string& folder, std::time_t now) {
  char num[16];
  std::snprintf(num, sizeof num, "%04d", seq);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char stamp[40];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H%M%S", &tm);
  std::string tail = std::string("_") + stamp + "Z.mhl";
  std::string head = std::string(num) + "_";
  std::string f = nfc(folder);
  size_t room = kMaxName > head.size() + tail.size() ? kMaxName - head.size() - tail.size() : 0;
  return nfc(head + cutUtf8(f, room) + tail);
}

int nextSequence(const std::string& dir, Fs& fs) {
  int top = 0;
  for (const auto& n : listFolder(dir, fs)) {
    if (!endsWith(n, ".mhl")) continue;
    if (auto s = mhlSequence(n)) top = std::max(top, *s);
  }
  return top + 1;
}

// Exclusive create and full write; a partial file is removed so that no later chain lists it.
// Returns 0, or the errno of the failure.
int writeExclusive(const std::string& path, std::string_view data, Fs& fs) {
  UniqueFd fd(fs.open(path, O_WRONLY | O_CREAT | O_EXCL, 0644));
  if (!fd) return errno;
  int err = writeAll(fd.get(), data, fs);
  // Flushed before the chain names it: a crash must not leave a chain listing a lost file.
  if (err == 0 && fs.fsync(fd.get()) != 0) err = errno;
  if (fd.reset() != 0 && err == 0) err = errno;
  if (err != 0) {
    fs.unlink(path);
    return err == EEXIST ? EIO : err;  // EEXIST means "number taken" to the caller
  }
  return 0;
}

constexpr int64_t kSettledNs = int64_t{10} * 1000000000;

// A generation a crash or a full drive cut short: its hash list never closes.
bool cutShort(std::string_view text) {
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return !text.ends_with("</hashlist>");
}

struct Generation {
  std::string name, c4;
};

// The whole generations of dir, by name. One cut short is moved aside, out of every reader's
// sight (readers take only ".mhl"), and its new name added to aside. Throws WriteFail.
std::vector<Generation> wholeGenerations(const std::string& dir, std::vector<std::string>& aside,
                                         Fs& fs) {
  std::vector<std::string> names;
  for (auto& n : listFolder(dir, fs))
    if (endsWith(n, ".mhl")) names.push_back(std::move(n));
  std::sort(names.begin(), names.end());
  std::vector<Generation> out;
  for (const auto& n : names) {
    std::string bytes;
    const std::string path = dir + "/" + n;
    errno = 0;
    if (!readFile(path, &bytes, fs)) throw WriteFail{path, errno ? errno : EIO};
    // A foreign writer may be writing one at this moment: only one left alone a while is cut.
    struct stat st {};
    if (!cutShort(bytes) || fs.stat(path, &st) != 0 ||
        wallClockNs() - (int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec) <
            kSettledNs) {
      out.push_back({n, c4Id(bytes)});
      continue;
    }
    for (int i = 0;; ++i) {
      const std::string to = n + ".incomplete" + (i ? "-" + std::to_string(i) : "");
      const int err = renameNoReplace(path, dir + "/" + to, fs);
      if (err == 0) {
        aside.push_back(to);
        break;
      }
      if (err != EEXIST || i >= 100) throw WriteFail{path, err};
    }
  }
  return out;
}

void writeChain(const std::string& dir, const std::vector<Generation>& gens, Fs& fs) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<ascmhldirectory xmlns=\"urn:ASC:MHL:DIRECTORY:v2.0\">\n";
  for (const auto& g : gens) {
    xml += "  <hashlist sequencenr=\"" + std::to_string(mhlSequence(g.name).value_or(0)) + "\">\n";
    xml += "    <path>" + xmlEscape(nfc(g.name)) + "</path>\n";
    xml += "    <c4>" + g.c4 + "</c4>\n";
    xml += "  </hashlist>\n";
  }
  xml += "</ascmhldirectory>\n";
  writeFileAtomic(dir + "/" + kMHLChain, xml, fs);
}
}  // namespace

std::vector<std::string> listFolder(const std::string& dir, Fs& fs) {
  std::vector<std::string> out;
  std::vector<DirEntry> entries;
  if (fs.list(dir, &entries) != 0) return out;
  for (auto& e : entries) out.push_back(std::move(e.name));
  return out;
}

std::string writeGenerationFile(const std::string& root, std::string_view text, std::time_t now,
                                Fs& fs) {
  std::string dir = nfc(root + "/" + kMHLFolder);
  mkdirs(dir, fs);
  FolderLock lock(dir, fs);
  // Under the lock no writer of ours is at work here: a temporary is a crash's leftover.
  removeStaleTemps(dir, wallClockNs(), fs);
  std::string folder = folderName(root);
  int seq = nextSequence(dir, fs);
  std::string path;
  for (int tries = 0;; ++tries, ++seq) {
    path = dir + "/" + generationName(seq, folder, now);
    int err = writeExclusive(path, text, fs);
    // Its name on the medium before the chain names it.
    if (err == 0 && (err = syncFolder(dir, fs)) != 0) throw WriteFail{path, err};
    if (err == 0) break;
    // Taken by a writer that does not hold our lock: the next number is ours to try.
    if (err != EEXIST || tries >= 1000) throw WriteFail{path, err};
  }
  rewriteChain(dir, fs);
  return path;
}

void rewriteChain(const std::string& dir, Fs& fs) {
  std::vector<std::string> aside;
  writeChain(dir, wholeGenerations(dir, aside, fs), fs);
}

std::vector<std::string> repairChain(const std::string& dir, Fs& fs) {
  std::vector<std::string> aside;
  struct stat st {};
  if (fs.stat(dir, &st) != 0) return aside;
  FolderLock lock(dir, fs);
  // Under the lock no writer of ours is at work here: a temporary is a killed run's chain.
  removeStaleTemps(dir, wallClockNs(), fs);
  std::vector<Generation> gens = wholeGenerations(dir, aside, fs);
  std::string text;
  const bool there = readFile(dir + "/" + kMHLChain, &text, fs);
  if (!there && gens.empty()) return aside;
  std::set<std::pair<std::string, std::string>> want, have;
  for (const auto& g : gens) want.insert({nfc(g.name), g.c4});
  if (auto chain = there ? parseMHLChain(text) : std::nullopt) {
    for (const auto& e : *chain) have.insert({nfc(e.path), e.c4});
    if (have == want && chain->size() == gens.size()) return aside;
  }
  writeChain(dir, gens, fs);
  return aside;
}

}  // namespace tolverdine
