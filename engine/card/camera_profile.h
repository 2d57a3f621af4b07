// Camera families as data: the folder signatures that recognise a card, the table of model
// codes to display names, and the versioned pack that carries newer ones.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolverdine {

/// One camera family: a card matches when every folder pattern exists and, with rootExt, some
/// top-level entry has that (lower-case) extension. No conditions at all match every card.
struct CameraProfile {
  std::string id, brand, line;
  std::optional<std::vector<std::string>> dirs;
  std::optional<std::string> rootExt;
  bool operator==(const CameraProfile&) const = default;
};

using ModelNames = std::map<std::string, std::string>;

struct ProfilePack {
  long long version = 0;
  std::vector<CameraProfile> profiles;  // matching order: the first match wins
  std::optional<ModelNames> models;     // merged over the built-in names
  bool operator==(const ProfilePack&) const = default;
};

/// The built-in set, video families before the still families of the same makers.
const std::vector<CameraProfile>& defaultProfiles();
/// The built-in model code to display name table.
const ModelNames& baseModelNames();

/// JSON with the keys in field order; optional fields only when present.
std::string encodePack(const ProfilePack& pack);
/// Absent for anything that is not a JSON object of the right shape; unknown keys are ignored,
/// a null optional field counts as absent.
std::optional<ProfilePack> decodePack(std::string_view json);

}  // namespace tolverdine
