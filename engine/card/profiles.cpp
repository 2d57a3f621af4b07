#include "engine/card/profiles.h"

#include <cstdlib>

#include "engine/base/base64.h"
#include "engine/base/files.h"
#include "engine/base/records.h"
#include "engine/base/text.h"
#include "engine/card/signature.h"
#include "os/home.h"

namespace tolverdine {

// The project's signing key; its private half is kept outside the repository.
const char* const profilesPublicKey = "yJs6BVQIHOAdsrnMjLKmFEgTbYoz3s/bTePmOuG0mRw=";

namespace {
bool space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Signature check and decoding of one pack; no version rule.
std::optional<ProfilePack> verifiedPack(std::string_view bytes, std::string_view signature,
                                        std::string_view publicKey) {
  if (!verifySignature(bytes, trimSignature(signature), publicKey)) return std::nullopt;
  return decodePack(bytes);
}
}  // namespace

std::string_view trimSignature(std::string_view text) {
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

std::string Profiles::overrideURL() { return applicationSupportDir() + "/profiles.json"; }

std::optional<ProfilePack> Profiles::pack(const std::string& path, std::string_view publicKey) {
  std::string bytes, sig;
  if (!readFile(path, &bytes) || !readFile(path + ".sig", &sig) || !validUtf8(sig))
    return std::nullopt;
  auto p = verifiedPack(bytes, sig, publicKey);
  if (!p || p->version < 2) return std::nullopt;
  return p;
}

std::vector<CameraProfile> Profiles::load(const std::string& path, std::string_view publicKey) {
  if (auto p = pack(path, publicKey)) return std::move(p->profiles);
  return defaultProfiles();
}

bool Profiles::install(std::string_view bytes, std::string_view signature, const std::string& dest,
                       std::string_view publicKey) {
  auto incoming = verifiedPack(bytes, signature, publicKey);
  if (!incoming) return false;
  auto installed = pack(dest, publicKey);
  if (installed ? installed->version >= incoming->version : incoming->version < 2) return false;
  std::string folder = parentPath(dest);
  if (!folder.empty() && !mkdirs(folder)) return false;
  try {
    writeFileAtomic(dest, bytes);
    writeFileAtomic(dest + ".sig", signature);
  } catch (const WriteFail&) {
    return false;
  }
  return true;
}

ProfilePack Profiles::defaultPack() {
  return ProfilePack{defaultVersion, defaultProfiles(), modelNames()};
}

ModelNames modelNames() { return modelNames(Profiles::overrideURL(), profilesPublicKey); }

ModelNames modelNames(const std::string& path, std::string_view publicKey) {
  ModelNames names = baseModelNames();
  if (auto p = Profiles::pack(path, publicKey); p && p->models)
    for (const auto& [code, name] : *p->models) names[code] = name;
  return names;
}

}  // namespace tolverdine
