// Sorting a video clip into a class by an ordered list of rules on duration, audio channels
// and camera model; the first rule that fits wins.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/base/records.h"
#include "engine/card/camera_role.h"

namespace tolverdine {

/// The fallback class of a clip that no rule fits.
inline constexpr const char* unsure = "기타";

/// One rule; every present bound is inclusive, an absent one is no condition.
struct Rule {
  std::string cls;
  std::optional<double> maxSec;
  std::optional<double> minSec;
  std::optional<int> minCh;
  std::optional<std::string> model;  // compared ignoring letter case
  bool operator==(const Rule&) const = default;
};

const char* cameraRoleText(CameraRole r);
std::optional<CameraRole> cameraRoleFromText(const std::string& s);

/// The class of a clip: "기타" without a duration or when no rule fits.
std::string classify(const Meta& meta, const std::vector<Rule>& rules,
                     const std::optional<std::string>& model);

/// The camera role on top of classify's answer: a slate or a clip of unknown length keeps its
/// class; fixed gives "풀샷", interview "인터뷰".
std::string applyRole(const std::string& cls, const Meta& meta, CameraRole role);

}  // namespace tolverdine
