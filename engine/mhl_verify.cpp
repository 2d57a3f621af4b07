#include "engine/mhl_verify.h"

#include <algorithm>
#include <map>
#include <set>

#include "engine/c4.h"
#include "engine/copy.h"
#include "engine/files.h"
#include "engine/mhl.h"
#include "engine/mhl_folder.h"
#include "engine/mhl_read.h"
#include "engine/text.h"

namespace tolverdine {

bool MHLVerifyReport::clean() const {
  if (noHashLists || !unreadable.empty()) return false;
  for (const auto& c : chain)
    if (c.state != ChainState::ok) return false;
  for (const auto& f : files)
    if (f.state != FileState::ok) return false;
  return true;
}

MHLVerifyReport verifyMHL(const std::string& given) {
  MHLVerifyReport rep;
  std::string root = nfc(given);  // where the writers put everything
  std::string dir = root + "/" + kMHLFolder;
  std::vector<std::string> gens;
  for (auto& n : listFolder(dir))
    if (n.size() >= 4 && n.compare(n.size() - 4, 4, ".mhl") == 0) gens.push_back(std::move(n));
  std::sort(gens.begin(), gens.end(), [](const std::string& a, const std::string& b) {
    int sa = mhlSequence(a).value_or(0), sb = mhlSequence(b).value_or(0);
    return sa != sb ? sa < sb : a < b;
  });
  rep.noHashLists = gens.empty();

  // Chain: every entry must name an existing generation with the same bytes.
  std::set<std::string> chained;
  std::string chainText;
  std::optional<std::vector<MHLChainEntry>> chain;
  if (readFile(dir + "/" + kMHLChain, &chainText)) chain = parseMHLChain(chainText);
  if (!chain) {
    rep.unreadable.push_back(kMHLChain);
  } else {
    for (const auto& e : *chain) {
      chained.insert(nfc(e.path));
      std::string bytes;
      ChainState st = ChainState::ok;
      if (e.path.find('/') != std::string::npos || !readFile(dir + "/" + e.path, &bytes))
        st = ChainState::missing;
      else if (c4Id(bytes) != e.c4)
        st = ChainState::mismatch;
      rep.chain.push_back({e.path, st});
    }
    for (const auto& g : gens)
      if (!chained.count(nfc(g))) rep.chain.push_back({g, ChainState::unlisted});
  }

  // Latest expected hash per path across all generations.
  std::map<std::string, std::string> expected;
  for (const auto& name : gens) {
    std::string bytes;
    std::optional<MHLGeneration> g;
    if (readFile(dir + "/" + name, &bytes)) g = parseMHLGeneration(bytes);
    if (!g) {
      rep.unreadable.push_back(name);
      continue;
    }
    for (const auto& e : g->entries) {
      std::string hash = e.xxh64;
      if (e.previousPath) {
        auto it = expected.find(nfc(*e.previousPath));
        // A move that already failed its check: the content to expect is the original one.
        if (it != expected.end() && e.action == "failed") hash = it->second;
        if (it != expected.end()) expected.erase(it);
      }
      expected[nfc(e.path)] = hash;
    }
  }

  std::vector<std::string> paths, full;
  for (const auto& [p, h] : expected) {
    paths.push_back(p);
    full.push_back(root + "/" + p);
  }
  auto got = hashFiles(full);
  for (size_t i = 0; i < paths.size(); ++i) {
    FileState st = FileState::ok;
    if (!got[i])
      st = exists(full[i]) ? FileState::unreadable : FileState::missing;
    else if (*got[i] != expected[paths[i]])
      st = FileState::changed;
    rep.files.push_back({paths[i], st});
  }
  return rep;
}

}  // namespace tolverdine
