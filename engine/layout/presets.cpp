#include "engine/layout/presets.h"

#include <cerrno>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "engine/base/files.h"
#include "engine/base/text.h"
#include "engine/layout/rule_json.h"
#include "os/home.h"

namespace tolverdine {

using nlohmann::json;

namespace {

Rule rule(const char* cls, std::optional<double> maxSec, std::optional<double> minSec,
          std::optional<int> minCh) {
  return Rule{cls, maxSec, minSec, minCh, std::nullopt};
}

}  // namespace

const PresetMap& Presets::defaults() {
  static const PresetMap map = {
      {"default",
       {rule("슬레이트", 2, {}, {}), rule("풀샷", {}, 600, {}), rule("인터뷰", {}, 300, 2),
        rule("인서트", 120, {}, {})}},
      {"행사",
       {rule("슬레이트", 2, {}, {}), rule("풀샷", {}, 600, {}), rule("인터뷰", {}, 120, 2),
        rule("인서트", 60, {}, {})}},
      {"실황",
       {rule("슬레이트", 2, {}, {}), rule("풀샷", {}, 400, {}), rule("인서트", 120, {}, {})}},
      {"인터뷰",
       {rule("슬레이트", 2, {}, {}), rule("인터뷰", {}, 120, {}), rule("인서트", 90, {}, {})}},
  };
  return map;
}

std::string Presets::v0Path() { return homeDir() + "/.tolverdine/presets.json"; }
std::string Presets::customPath() { return applicationSupportDir() + "/presets.json"; }

std::optional<PresetMap> Presets::decode(std::string_view text) {
  json root = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (!root.is_object()) return std::nullopt;
  PresetMap out;
  for (auto it = root.begin(); it != root.end(); ++it) {
    if (!it.value().is_array()) return std::nullopt;
    std::vector<Rule> rules;
    for (const json& o : it.value()) {
      auto r = decodeRule(o);
      if (!r) return std::nullopt;
      rules.push_back(std::move(*r));
    }
    out[it.key()] = std::move(rules);
  }
  return out;
}

std::string Presets::encode(const PresetMap& presets) {
  json root = json::object();
  for (const auto& [name, rules] : presets) {
    json list = json::array();
    for (const Rule& r : rules) list.push_back(encodeRule(r));
    root[name] = std::move(list);
  }
  try {
    return root.dump(2) + "\n";
  } catch (const json::exception& e) {
    throw PresetEncodeError(e.what());
  }
}

PresetMap Presets::load(const std::string& path) {
  std::string text;
  if (readFile(path, &text))
    if (auto m = decode(text)) return *m;
  return defaults();
}

PresetMap Presets::loadAll(const std::string& v0, const std::string& custom) {
  PresetMap base = load(v0);
  std::string text;
  if (readFile(custom, &text))
    if (auto m = decode(text))
      for (auto& [name, rules] : *m) base[name] = std::move(rules);
  return base;
}

void Presets::saveCustom(const std::string& name, const std::vector<Rule>& rules,
                         const std::string& custom) {
  PresetMap map;
  std::string text;
  if (readFile(custom, &text))
    if (auto m = decode(text)) map = std::move(*m);
  map[name] = rules;
  std::string out = encode(map);  // before touching the disk: a failed encoding leaves the old file
  std::string dir = parentPath(custom);
  if (!dir.empty() && !mkdirs(dir)) throw WriteFail{dir, errno};
  writeFileAtomic(custom, out);
}

std::vector<Rule> Presets::rulesFor(const PresetMap& presets, const std::string& name) {
  auto it = presets.find(name);
  if (it != presets.end()) return it->second;
  return defaults().at("default");
}

}  // namespace tolverdine
