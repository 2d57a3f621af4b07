#include "engine/hashlist/mhl_read.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace tolverdine {

namespace {
using Doc = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

Doc parse(std::string_view xml) {
  // Set up once before any thread parses; libxml2 is not safe to initialise concurrently.
  static const bool ready = (xmlInitParser(), true);
  (void)ready;
  if (xml.size() > static_cast<size_t>(INT32_MAX)) return Doc(nullptr, &xmlFreeDoc);
  // No entity substitution, no external DTD, no network: a hash list from elsewhere is read
  // as the bytes it holds.
  Doc doc(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, "UTF-8",
                        XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
          &xmlFreeDoc);
  // Hash lists never declare a document type. One that does could define entities, which
  // reading a node's text would expand (an entity bomb, or a file's contents named as a path).
  if (doc && (doc->intSubset || doc->extSubset)) doc.reset();
  return doc;
}

bool is(const xmlNode* n, const char* name) {
  return n->type == XML_ELEMENT_NODE &&
         std::strcmp(reinterpret_cast<const char*>(n->name), name) == 0;
}

const xmlNode* child(const xmlNode* n, const char* name) {
  for (const xmlNode* c = n->children; c; c = c->next)
    if (is(c, name)) return c;
  return nullptr;
}

std::string text(const xmlNode* n) {
  if (!n) return "";
  std::unique_ptr<xmlChar, void (*)(void*)> t(xmlNodeGetContent(n), xmlFree);
  return t ? reinterpret_cast<const char*>(t.get()) : "";
}

std::string attr(const xmlNode* n, const char* name) {
  std::unique_ptr<xmlChar, void (*)(void*)> t(xmlGetProp(n, reinterpret_cast<const xmlChar*>(name)),
                                              xmlFree);
  return t ? reinterpret_cast<const char*>(t.get()) : "";
}
}  // namespace

std::optional<MHLGeneration> parseMHLGeneration(std::string_view xml) {
  Doc doc = parse(xml);
  const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!root || !is(root, "hashlist")) return std::nullopt;
  MHLGeneration g;
  if (const xmlNode* pi = child(root, "processinfo")) {
    g.process = text(child(pi, "process"));
    if (const xmlNode* ig = child(pi, "ignore"))
      for (const xmlNode* p = ig->children; p; p = p->next)
        if (is(p, "pattern")) g.ignore.push_back(text(p));
  }
  const xmlNode* hashes = child(root, "hashes");
  if (!hashes) return std::nullopt;
  // Directory hashes (directoryhash) say nothing about single files and are passed over.
  for (const xmlNode* h = hashes->children; h; h = h->next) {
    if (!is(h, "hash")) continue;
    const xmlNode* p = child(h, "path");
    if (!p) return std::nullopt;
    MHLEntry e{text(p), {}, std::nullopt};
    for (const xmlNode* c = h->children; c; c = c->next) {
      if (c->type != XML_ELEMENT_NODE || c == p) continue;
      std::string name = reinterpret_cast<const char*>(c->name);
      // Both spellings of the previous path are met in the wild.
      if (name == "previouspath" || name == "previousPath") e.previousPath = text(c);
      else e.hashes.push_back({name, text(c), attr(c, "action")});
    }
    g.entries.push_back(std::move(e));
  }
  return g;
}

std::optional<std::vector<MHLChainEntry>> parseMHLChain(std::string_view xml) {
  Doc doc = parse(xml);
  const xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
  if (!root || !is(root, "ascmhldirectory")) return std::nullopt;
  std::vector<MHLChainEntry> out;
  for (const xmlNode* h = root->children; h; h = h->next) {
    if (!is(h, "hashlist")) continue;
    const xmlNode* p = child(h, "path");
    const xmlNode* c = child(h, "c4");
    if (!p || !c) return std::nullopt;
    MHLChainEntry e;
    e.path = text(p);
    e.c4 = text(c);
    try {
      e.sequence = std::stoi(attr(h, "sequencenr"));
    } catch (const std::logic_error&) {  // not a number, or out of range
      e.sequence = 0;
    }
    out.push_back(std::move(e));
  }
  return out;
}

}  // namespace tolverdine
