#include "engine/layout/rules.h"

#include "engine/base/text.h"

namespace tolverdine {

const char* cameraRoleText(CameraRole r) {
  switch (r) {
    case CameraRole::none: return "none";
    case CameraRole::fixed: return "fixed";
    case CameraRole::interview: return "interview";
  }
  return "none";
}

std::optional<CameraRole> cameraRoleFromText(const std::string& s) {
  if (s == "none") return CameraRole::none;
  if (s == "fixed") return CameraRole::fixed;
  if (s == "interview") return CameraRole::interview;
  return std::nullopt;
}

namespace {
bool fits(const Rule& r, double dur, int ch, const std::optional<std::string>& model) {
  if (r.model && (!model || lowerUnicode(*model) != lowerUnicode(*r.model))) return false;
  if (r.maxSec && !(dur <= *r.maxSec)) return false;
  if (r.minSec && !(dur >= *r.minSec)) return false;
  if (r.minCh && !(ch >= *r.minCh)) return false;
  return true;
}
}  // namespace

std::string classify(const Meta& meta, const std::vector<Rule>& rules,
                     const std::optional<std::string>& model) {
  if (!meta.dur) return unsure;
  for (const Rule& r : rules)
    if (fits(r, *meta.dur, meta.ch, model)) return r.cls;
  return unsure;
}

std::string applyRole(const std::string& cls, const Meta& meta, CameraRole role) {
  if (cls == "슬레이트" || !meta.dur) return cls;
  switch (role) {
    case CameraRole::fixed: return "풀샷";
    case CameraRole::interview: return "인터뷰";
    case CameraRole::none: break;
  }
  return cls;
}

}  // namespace tolverdine
