// Any bytes as a hash-list generation or chain file of another tool: reading must not crash or
// hang, what verify derives from an entry must be usable, and a generation written back with our
// escaping must read back the same.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/hashlist/mhl.h"
#include "engine/hashlist/mhl_history.h"
#include "engine/hashlist/mhl_read.h"

using namespace tolverdine;

namespace {
bool carriable(const MHLGeneration& g) {
  // xmlEscape replaces what XML cannot carry, and the parser folds CR LF to LF in text and
  // white space to spaces in attributes; such texts cannot come back unchanged.
  auto ok = [](const std::string& s) {
    return xmlCarriable(s) && s.find('\r') == std::string::npos;
  };
  auto okAttr = [&](const std::string& s) {
    return ok(s) && s.find_first_of("\t\n") == std::string::npos;
  };
  if (!ok(g.process)) return false;
  for (const auto& p : g.ignore)
    if (!ok(p)) return false;
  for (const auto& e : g.entries) {
    if (!ok(e.path) || (e.previousPath && !ok(*e.previousPath))) return false;
    for (const auto& h : e.hashes)
      if (!ok(h.value) || !okAttr(h.action)) return false;
  }
  return true;
}

std::string written(const MHLGeneration& g) {
  std::string x =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<hashlist version=\"2.0\">\n<processinfo><process>" +
      xmlEscape(g.process) + "</process><ignore>";
  for (const auto& p : g.ignore) x += "<pattern>" + xmlEscape(p) + "</pattern>";
  x += "</ignore></processinfo>\n<hashes>\n";
  for (const auto& e : g.entries) {
    x += "<hash><path>" + xmlEscape(e.path) + "</path>";
    if (e.previousPath) x += "<previouspath>" + xmlEscape(*e.previousPath) + "</previouspath>";
    for (const auto& h : e.hashes) {
      x += "<" + h.type;
      if (!h.action.empty()) x += " action=\"" + xmlEscape(h.action) + "\"";
      x += ">" + xmlEscape(h.value) + "</" + h.type + ">";
    }
    x += "</hash>\n";
  }
  return x + "</hashes>\n</hashlist>\n";
}

bool same(const MHLGeneration& a, const MHLGeneration& b) {
  if (a.process != b.process || a.ignore != b.ignore || a.entries.size() != b.entries.size())
    return false;
  for (size_t i = 0; i < a.entries.size(); ++i) {
    const auto &x = a.entries[i], &y = b.entries[i];
    if (x.path != y.path || x.previousPath != y.previousPath || x.hashes.size() != y.hashes.size())
      return false;
    for (size_t k = 0; k < x.hashes.size(); ++k)
      if (x.hashes[k].type != y.hashes[k].type || x.hashes[k].value != y.hashes[k].value ||
          x.hashes[k].action != y.hashes[k].action)
        return false;
  }
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  parseMHLChain(text);
  auto g = parseMHLGeneration(text);
  if (!g) return 0;
  for (const auto& e : g->entries) {
    auto want = expectedHash({e.hashes});
    if (want && want->value.empty()) std::abort();
    mhlIgnored(e.path, false, g->ignore);
    mhlIgnored(e.path, true, g->ignore);
  }
  if (!carriable(*g)) return 0;
  auto again = parseMHLGeneration(written(*g));
  if (!again || !same(*g, *again)) std::abort();
  return 0;
}
