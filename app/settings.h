// The user's settings: every key of the preferences store with its default, read once at
// start-up and written back key by key as it changes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/base/names.h"
#include "engine/base/records.h"
#include "engine/card/camera_role.h"
#include "engine/copy/storage.h"

namespace tolverdine {

class PreferencesStore;

struct Settings {
  std::string project;
  std::optional<std::string> projectDate;
  std::vector<std::string> dests;
  std::string preset = "default";
  int copies = 2;
  bool english = false;
  bool autoStart = false;
  std::vector<std::string> cascadeDests;
  std::string storageMode = "auto";
  std::string verifyMode = "standard";
  bool md5 = false;
  std::string operatorName;
  std::optional<std::string> logoPath;
  std::string webhookURL;
  std::string recapCommand;
  std::map<std::string, std::string> roles;
  std::vector<std::string> ignoredVolumes;
  std::optional<int> parallel;     // read by maxParallel
  std::optional<int> autoSeconds;  // read by autoSeconds
  std::optional<bool> ejectOnGreen;
  std::optional<std::string> eulaAccepted;

  /// Values of the wrong type count as absent (the default).
  static Settings load(const PreferencesStore& prefs);
  /// The value stored under key (absent: the key is removed).
  std::optional<nlohmann::json> value(const std::string& key) const;
  /// The value a key stands for: the stored one, else what an unset key means (the job queue's
  /// parallel jobs and countdown, ejecting green cards).
  std::optional<nlohmann::json> shown(const std::string& key) const;
  /// Takes a value as the user interface sends it; false for an unknown key, a wrong type or a
  /// value the setting cannot hold.
  bool assign(const std::string& key, const nlohmann::json& v) { return !set(key, v); }
  /// The same, with the Korean reason of a refusal, naming the setting by its label; nothing is
  /// changed then.
  std::optional<std::string> set(const std::string& key, const nlohmann::json& v);

  bool ready() const;
  int maxParallel() const { return parallel ? (*parallel < 2 ? 1 : *parallel) : 2; }
  int countdownSeconds() const { return autoSeconds.value_or(10); }
  /// A green card is ejected unless the user turned it off.
  bool ejectsGreenCards() const { return ejectOnGreen.value_or(true); }
  const NameSet& names() const { return english ? NameSet::en() : NameSet::ko(); }
  CameraRole roleFor(const std::string& cam) const;
  StorageMode storage() const;  // unknown text: auto
  VerifyMode verify() const;    // unknown text: standard
};

/// Every key in the order the settings page lists them.
const std::vector<std::string>& settingKeys();
/// The Korean name of a setting as the settings page shows it ("프로젝트 날짜"); empty when
/// unknown.
std::string settingLabel(const std::string& key);
/// (value as stored, Korean label) of every value a choice setting (names, storage, verify) can
/// hold, in menu order; empty for any other key.
const std::vector<std::pair<std::string, std::string>>& settingChoices(const std::string& key);
/// True for "yyyyMMdd" naming a real calendar day.
bool validShootDate(const std::string& s);

}  // namespace tolverdine
