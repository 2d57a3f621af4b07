// The fixed lists the user picks from: clip classes and camera roles, with their Korean texts.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tolverdine {

/// The classes a clip can be moved to, in menu order.
const std::vector<std::string>& classNames();

/// (role text as stored, Korean label) for every camera role.
const std::vector<std::pair<std::string, std::string>>& roleChoices();

/// role is the stored text of one of roleChoices().
bool isRoleChoice(const std::string& role);

/// The class a copy's classified path names: its folder under the session, in either folder-name
/// set; absent when the path is not in a class folder (card mirror, audio, stills).
std::optional<std::string> classOfPath(const std::string& classPath);

}  // namespace tolverdine
