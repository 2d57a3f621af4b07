#include "engine/hashlist/mhl_verify.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "engine/base/files.h"
#include "engine/base/path_name.h"
#include "engine/base/text.h"
#include "engine/hashlist/c4.h"
#include "engine/hashlist/digest.h"
#include "engine/hashlist/mhl.h"
#include "engine/hashlist/mhl_folder.h"
#include "engine/hashlist/mhl_history.h"
#include "engine/hashlist/mhl_read.h"

namespace tolverdine {

namespace {
void checkChain(const std::string& dir, const std::vector<std::string>& gens, MHLVerifyReport& rep,
                Fs& fs) {
  // Every chain entry must name an existing generation with the same bytes.
  std::string chainText;
  std::optional<std::vector<MHLChainEntry>> chain;
  if (readFile(dir + "/" + kMHLChain, &chainText, fs)) chain = parseMHLChain(chainText);
  if (!chain) {
    rep.unreadable.push_back(kMHLChain);
    return;
  }
  std::set<std::string> chained;
  for (const auto& e : *chain) {
    chained.insert(nfc(e.path));
    std::string bytes;
    ChainState st = ChainState::ok;
    if (e.path.find('/') != std::string::npos || !readFile(dir + "/" + e.path, &bytes, fs))
      st = ChainState::missing;
    else if (c4Id(bytes) != e.c4) st = ChainState::mismatch;
    rep.chain.push_back({e.path, st});
  }
  for (const auto& g : gens)
    if (!chained.count(nfc(g))) rep.chain.push_back({g, ChainState::unlisted});
}

// Regular files under root (relative paths, byte order) that neither the ignore patterns nor
// the listed paths cover. Links are not followed. A folder with an ascmhl folder of its own
// holds a nested history: it is verified by its own lists (nested) and not walked here.
void findUnlisted(const std::string& root, const std::string& rel, const MHLHistory& h,
                  std::vector<std::string>& out, std::vector<std::string>& nested, Fs& fs) {
  std::vector<std::string> names = listFolder(rel.empty() ? root : root + "/" + rel, fs);
  std::sort(names.begin(), names.end());
  for (const auto& n : names) {
    std::string r = rel.empty() ? n : rel + "/" + n;
    if (rel.empty() && n == kMHLFolder) continue;
    struct stat st;
    if (fs.lstat(root + "/" + r, &st) != 0) continue;
    bool dir = S_ISDIR(st.st_mode);
    if (!dir && !S_ISREG(st.st_mode)) continue;
    if (mhlIgnored(r, dir, h.ignore)) continue;
    if (dir && !listFolder(root + "/" + r + "/" + kMHLFolder, fs).empty()) nested.push_back(r);
    else if (dir) findUnlisted(root, r, h, out, nested, fs);
    else if (!h.files.count(nfc(r))) out.push_back(r);
  }
}

struct Task {
  std::string path, full;
  std::optional<ExpectedHash> want;
  std::optional<std::string> got;
};

void hashAll(std::vector<Task>& tasks, Fs& fs) {
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < tasks.size();)
      if (tasks[i].want) tasks[i].got = fileDigest(tasks[i].full, tasks[i].want->type, fs);
  };
  size_t n = std::min<size_t>(tasks.size(),
                              std::max(1u, std::min(4u, std::thread::hardware_concurrency())));
  std::vector<std::thread> pool;
  for (size_t t = 1; t < n; ++t) {
    try {
      pool.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads; this one takes the rest
    }
  }
  work();
  for (auto& t : pool) t.join();
}
}  // namespace

bool MHLVerifyReport::clean() const {
  if (noHashLists || !unreadable.empty()) return false;
  for (const auto& c : chain)
    if (c.state != ChainState::ok) return false;
  for (const auto& f : files)
    if (f.state != FileState::ok) return false;
  return true;
}

MHLVerifyReport verifyMHL(const std::string& given, Fs& fs) {
  MHLVerifyReport rep;
  std::string root = nfc(given);  // where the writers put everything
  std::string dir = root + "/" + kMHLFolder;
  MHLHistory h = readMHLHistory(root, fs);
  rep.noHashLists = h.generations.empty();
  if (rep.noHashLists) return rep;
  checkChain(dir, h.generations, rep, fs);
  rep.unreadable.insert(rep.unreadable.end(), h.unreadable.begin(), h.unreadable.end());

  std::vector<Task> tasks;
  for (const auto& [path, entries] : h.files) {
    std::optional<ExpectedHash> want;
    if (staysInside(path)) want = expectedHash(entries);
    tasks.push_back({path, root + "/" + path, want, {}});
  }
  hashAll(tasks, fs);
  for (const auto& t : tasks) {
    FileState st = FileState::ok;
    struct stat sb;
    bool there = fs.lstat(t.full, &sb) == 0;
    if (!staysInside(t.path)) st = FileState::unreadable;
    else if (!there) st = FileState::missing;
    else if (!t.want) st = FileState::noHash;
    else if (!t.got) st = FileState::unreadable;
    else if (!sameDigest(t.want->type, *t.got, t.want->value)) st = FileState::changed;
    rep.files.push_back({t.path, st, t.want ? hashTypeName(t.want->type) : ""});
  }
  std::vector<std::string> nested;
  findUnlisted(root, "", h, rep.unlisted, nested, fs);
  for (const auto& n : nested) {
    MHLVerifyReport sub = verifyMHL(root + "/" + n, fs);
    if (sub.noHashLists) continue;
    std::string lists = n + "/" + kMHLFolder + "/";
    for (auto& c : sub.chain) rep.chain.push_back({lists + c.name, c.state});
    for (auto& u : sub.unreadable) rep.unreadable.push_back(lists + u);
    for (auto& f : sub.files) rep.files.push_back({n + "/" + f.path, f.state, f.type});
    for (auto& u : sub.unlisted) rep.unlisted.push_back(n + "/" + u);
  }
  std::stable_sort(rep.files.begin(), rep.files.end(),
                   [](const FileCheck& a, const FileCheck& b) { return a.path < b.path; });
  return rep;
}

}  // namespace tolverdine
