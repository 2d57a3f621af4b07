#include "engine/layout/rule_json.h"

#include <climits>
#include <cmath>

#include "engine/layout/presets.h"

namespace tolverdine {

using nlohmann::json;

namespace {

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

json number(double d) {
  if (!std::isfinite(d)) throw PresetEncodeError("규칙의 길이가 숫자가 아님");
  // Whole seconds are written as integers ("max_sec": 2), as people type them.
  if (d == std::trunc(d) && std::fabs(d) < 9e15) return static_cast<long long>(d);
  return d;
}

}  // namespace

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

json encodeRule(const Rule& r) {
  json o = json::object();
  o["class"] = r.cls;
  if (r.maxSec) o["max_sec"] = number(*r.maxSec);
  if (r.minSec) o["min_sec"] = number(*r.minSec);
  if (r.minCh) o["min_ch"] = *r.minCh;
  if (r.model) o["model"] = *r.model;
  return o;
}

}  // namespace tolverdine
