#include "app/settings.h"

#include <type_traits>

#include "engine/canonical_path.h"
#include "engine/library.h"
#include "platform/preferences_store.h"

namespace tolverdine {

namespace {
using nlohmann::json;

template <class T> std::optional<T> typed(const std::optional<json>& v);

template <> std::optional<std::string> typed(const std::optional<json>& v) {
  if (v && v->is_string()) return v->get<std::string>();
  return std::nullopt;
}
template <> std::optional<bool> typed(const std::optional<json>& v) {
  if (v && v->is_boolean()) return v->get<bool>();
  return std::nullopt;
}
template <> std::optional<int> typed(const std::optional<json>& v) {
  if (v && v->is_number_integer()) {
    auto n = v->get<int64_t>();
    if (n >= INT32_MIN && n <= INT32_MAX) return static_cast<int>(n);
  }
  return std::nullopt;
}
template <> std::optional<std::vector<std::string>> typed(const std::optional<json>& v) {
  if (!v || !v->is_array()) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& e : *v)
    if (e.is_string()) out.push_back(e.get<std::string>());
  return out;
}
template <> std::optional<std::map<std::string, std::string>> typed(const std::optional<json>& v) {
  if (!v || !v->is_object()) return std::nullopt;
  std::map<std::string, std::string> out;
  for (const auto& [k, e] : v->items())
    if (e.is_string()) out[k] = e.get<std::string>();
  return out;
}

template <class T> bool take(T& field, const json& v) {
  // A cleared text field arrives as null: the text is then empty.
  if constexpr (std::is_same_v<T, std::string>)
    if (v.is_null()) {
      field.clear();
      return true;
    }
  auto t = typed<T>(std::optional<json>(v));
  if (!t) return false;
  field = *t;
  return true;
}
// Folder lists are kept in one spelling per folder, whatever the page or an older file sent.
bool takeFolders(std::vector<std::string>& field, const json& v) {
  auto t = typed<std::vector<std::string>>(std::optional<json>(v));
  if (!t) return false;
  field = canonicalPaths(*t);
  return true;
}
template <class T> bool takeOptional(std::optional<T>& field, const json& v) {
  if (v.is_null()) {
    field.reset();
    return true;
  }
  auto t = typed<T>(std::optional<json>(v));
  if (!t) return false;
  field = *t;
  return true;
}
}  // namespace

const std::vector<std::string>& settingKeys() {
  static const std::vector<std::string> keys = {
      "project", "projectDate", "dests", "preset", "copies", "names", "autoStart", "cascadeDests",
      "storage", "verify", "md5", "operator", "logo", "webhook", "recapCommand", "roles",
      "ignoredVolumes", "parallel", "autoSeconds", "ejectOnGreen", "eulaAccepted"};
  return keys;
}

Settings Settings::load(const PreferencesStore& prefs) {
  Settings s;
  for (const auto& key : settingKeys()) {
    auto v = prefs.get(key);
    if (v) s.assign(key, *v);
  }
  return s;
}

bool Settings::assign(const std::string& key, const json& v) {
  if (key == "project") return take(project, v);
  if (key == "projectDate") return takeOptional(projectDate, v);
  if (key == "dests") return takeFolders(dests, v);
  if (key == "preset") return take(preset, v);
  if (key == "copies") {
    // A requirement below one copy would clear a card that has none.
    auto n = typed<int>(std::optional<json>(v));
    if (!n || *n < 1) return false;
    copies = *n;
    return true;
  }
  if (key == "names") {
    if (!v.is_string()) return false;
    english = v.get<std::string>() == "en";
    return true;
  }
  if (key == "autoStart") return take(autoStart, v);
  if (key == "cascadeDests") return takeFolders(cascadeDests, v);
  if (key == "storage") return take(storageMode, v);
  if (key == "verify") return take(verifyMode, v);
  if (key == "md5") return take(md5, v);
  if (key == "operator") return take(operatorName, v);
  if (key == "logo") return takeOptional(logoPath, v);
  if (key == "webhook") return take(webhookURL, v);
  if (key == "recapCommand") return take(recapCommand, v);
  if (key == "roles") return take(roles, v);
  if (key == "ignoredVolumes") return take(ignoredVolumes, v);
  if (key == "parallel") return takeOptional(parallel, v);
  if (key == "autoSeconds") return takeOptional(autoSeconds, v);
  if (key == "ejectOnGreen") return takeOptional(ejectOnGreen, v);
  if (key == "eulaAccepted") return takeOptional(eulaAccepted, v);
  return false;
}

std::optional<json> Settings::value(const std::string& key) const {
  auto opt = [](const auto& o) -> std::optional<json> {
    if (!o) return std::nullopt;
    return json(*o);
  };
  if (key == "project") return project;
  if (key == "projectDate") return opt(projectDate);
  if (key == "dests") return dests;
  if (key == "preset") return preset;
  if (key == "copies") return copies;
  if (key == "names") return english ? "en" : "ko";
  if (key == "autoStart") return autoStart;
  if (key == "cascadeDests") return cascadeDests;
  if (key == "storage") return storageMode;
  if (key == "verify") return verifyMode;
  if (key == "md5") return md5;
  if (key == "operator") return operatorName;
  if (key == "logo") return opt(logoPath);
  if (key == "webhook") return webhookURL;
  if (key == "recapCommand") return recapCommand;
  if (key == "roles") return json(roles);
  if (key == "ignoredVolumes") return ignoredVolumes;
  if (key == "parallel") return opt(parallel);
  if (key == "autoSeconds") return opt(autoSeconds);
  if (key == "ejectOnGreen") return opt(ejectOnGreen);
  if (key == "eulaAccepted") return opt(eulaAccepted);
  return std::nullopt;
}

bool Settings::ready() const { return !trimSpace(project).empty() && !dests.empty(); }

CameraRole Settings::roleFor(const std::string& cam) const {
  auto it = roles.find(cam);
  if (it == roles.end()) return CameraRole::none;
  if (it->second == "fixed") return CameraRole::fixed;
  if (it->second == "interview") return CameraRole::interview;
  return CameraRole::none;
}

StorageMode Settings::storage() const { return storageFromText(storageMode).value_or(StorageMode::automatic); }

VerifyMode Settings::verify() const { return verifyModeFromText(verifyMode).value_or(VerifyMode::standard); }

}  // namespace tolverdine
