// Stable labels per physical camera ("A캠") kept in the state database, keyed by identity.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "engine/card/camera_id.h"

namespace tolverdine {

class Store;

/// The label stored for this camera; absent for a camera without a model (no identity).
std::optional<std::string> storedLabel(Store& store, const CameraID& id);
/// Keeps label for this camera so its next card gets it again; nothing without an identity.
void rememberCamera(Store& store, const CameraID& id, const std::string& label);
/// The first of "A캠" to "Z캠" that is not in used; "A캠" when every one is.
std::string nextFreeLabel(const std::set<std::string>& used);
/// Labels the database has given: those of remembered cameras and of recorded cards.
std::set<std::string> labelsInUse(Store& store);
/// The display name of the model last labelled label, through the effective model names.
std::optional<std::string> modelFor(Store& store, const std::string& label);

}  // namespace tolverdine
