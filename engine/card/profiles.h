// The profile pack on disk: reading a signed pack, installing a newer one, and the effective
// profiles and model names drawn from it. Every failure means "no pack": the built-in set.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/card/camera_profile.h"

namespace tolverdine {

/// The public key that installed packs must be signed with (base64 of 32 raw bytes).
extern const char* const profilesPublicKey;

struct Profiles {
  /// The version of the built-in set; a pack must be newer to stand in for it.
  static constexpr long long defaultVersion = 1;
  /// "Library/Application Support/TOLVERDINE/profiles.json" under $HOME.
  static std::string overrideURL();
  /// The pack at path whose signature (path + ".sig") verifies under publicKey, with version 2
  /// or more; absent otherwise.
  static std::optional<ProfilePack> pack(const std::string& path, std::string_view publicKey);
  /// The profiles of pack(path, publicKey), or defaultProfiles().
  static std::vector<CameraProfile> load(const std::string& path, std::string_view publicKey);
  /// Installs bytes with its signature text at dest (and dest + ".sig") when the signature
  /// verifies, the bytes decode, and the version is above the installed pack's (or at least 2
  /// with none installed). Each file is replaced atomically. True when installed.
  static bool install(std::string_view bytes, std::string_view signature, const std::string& dest,
                      std::string_view publicKey);
  /// Version 1, the built-in profiles and the current model names.
  static ProfilePack defaultPack();
};

/// baseModelNames() with the models of the verified pack at Profiles::overrideURL() over it.
ModelNames modelNames();
/// The same with the pack at path checked under publicKey.
ModelNames modelNames(const std::string& path, std::string_view publicKey);

/// A signature file's text without surrounding white space and line breaks.
std::string_view trimSignature(std::string_view text);

}  // namespace tolverdine
