#include "engine/presets.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "engine/files.h"
#include "engine/text.h"

namespace tolverdine {

using nlohmann::json;

namespace {

Rule rule(const char* cls, std::optional<double> maxSec, std::optional<double> minSec, std::optional<int> minCh) {
  return Rule{cls, maxSec, minSec, minCh, std::nullopt};
}

std::string home() {
  const char* h = std::getenv("HOME");
  return h ? h : "";
}

// null counts as missing; any other type than the expected one spoils the whole file.
bool optionalNumber(const json& o, const char* key, std::optional<double>* out) {
  auto it = o.find(key);
  if (it == o.end() || it->is_null()) return true;
  if (!it->is_number()) return false;
  *out = it->get<double>();
  return true;
}

bool optionalInt(const json& o, const char* key, std::optional<int>* out) {
  auto it = o.find(key);
  if (it == o.end() || it->is_null()) return true;
  if (it->is_number_unsigned()) {
    auto u = it->get<unsigned long long>();
    if (u > INT_MAX) return false;
    *out = static_cast<int>(u);
    return true;
  }
  if (it->is_number_integer()) {
    auto i = it->get<long long>();
    if (i < INT_MIN || i > INT_MAX) return false;
    *out = static_cast<int>(i);
    return true;
  }
  if (it->is_number_float()) {  // 2.0 is a whole number; 2.5 is not
    double d = it->get<double>();
    if (!(d >= INT_MIN && d <= INT_MAX) || d != std::trunc(d)) return false;
    *out = static_cast<int>(d);
    return true;
  }
  return false;
}

std::optional<Rule> decodeRule(const json& o) {
  if (!o.is_object()) return std::nullopt;
  auto cls = o.find("class");
  if (cls == o.end() || !cls->is_string()) return std::nullopt;
  Rule r;
  r.cls = cls->get<std::string>();
  if (!optionalNumber(o, "max_sec", &r.maxSec) || !optionalNumber(o, "min_sec", &r.minSec) ||
      !optionalInt(o, "min_ch", &r.minCh))
    return std::nullopt;
  auto model = o.find("model");
  if (model != o.end() && !model->is_null()) {
    if (!model->is_string()) return std::nullopt;
    r.model = model->get<std::string>();
  }
  return r;
}

json number(double d) {
  if (!std::isfinite(d)) throw PresetEncodeError("규칙의 길이가 숫자가 아님");
  // Whole seconds are written as integers ("max_sec": 2), as people type them.
  if (d == std::trunc(d) && std::fabs(d) < 9e15) return static_cast<long long>(d);
  return d;
}

json encodeRule(const Rule& r) {
  json o = json::object();
  o["class"] = r.cls;
  if (r.maxSec) o["max_sec"] = number(*r.maxSec);
  if (r.minSec) o["min_sec"] = number(*r.minSec);
  if (r.minCh) o["min_ch"] = *r.minCh;
  if (r.model) o["model"] = *r.model;
  return o;
}

}  // namespace

const PresetMap& Presets::defaults() {
  static const PresetMap map = {
      {"default",
       {rule("슬레이트", 2, {}, {}), rule("풀샷", {}, 600, {}), rule("인터뷰", {}, 300, 2), rule("인서트", 120, {}, {})}},
      {"행사",
       {rule("슬레이트", 2, {}, {}), rule("풀샷", {}, 600, {}), rule("인터뷰", {}, 120, 2), rule("인서트", 60, {}, {})}},
      {"실황", {rule("슬레이트", 2, {}, {}), rule("풀샷", {}, 400, {}), rule("인서트", 120, {}, {})}},
      {"인터뷰", {rule("슬레이트", 2, {}, {}), rule("인터뷰", {}, 120, {}), rule("인서트", 90, {}, {})}},
  };
  return map;
}

std::string Presets::v0Path() { return home() + "/.tolverdine/presets.json"; }
std::string Presets::customPath() { return home() + "/Library/Application Support/TOLVERDINE/presets.json"; }

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

void Presets::saveCustom(const std::string& name, const std::vector<Rule>& rules, const std::string& custom) {
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
