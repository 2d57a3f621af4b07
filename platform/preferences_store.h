// Key/value preferences kept in one JSON file, rewritten atomically on every change.
#pragma once

#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "os/home.h"

namespace tolverdine {

class PreferencesStore {
 public:
  virtual ~PreferencesStore() = default;
  virtual std::optional<nlohmann::json> get(const std::string& key) const = 0;
  /// Writes through; false when the file could not be written (the value is kept in memory).
  /// A value holding text that is not UTF-8 is refused (false) and not kept.
  virtual bool set(const std::string& key, const nlohmann::json& value) = 0;
  virtual bool remove(const std::string& key) = 0;
};

/// `dir`/settings.json. A file that cannot be read or is not a JSON object reads as empty and is
/// moved aside to settings.json.bad, so a later write does not destroy what the user had.
class JsonFilePreferences : public PreferencesStore {
 public:
  explicit JsonFilePreferences(std::string dir);
  std::optional<nlohmann::json> get(const std::string& key) const override;
  bool set(const std::string& key, const nlohmann::json& value) override;
  bool remove(const std::string& key) override;
  const std::string& path() const { return path_; }

 private:
  bool save();
  std::string dir_;
  std::string path_;
  nlohmann::json data_ = nlohmann::json::object();
};

class FakePreferences : public PreferencesStore {
 public:
  std::map<std::string, nlohmann::json> values;
  std::optional<nlohmann::json> get(const std::string& key) const override {
    auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
  bool set(const std::string& key, const nlohmann::json& value) override {
    values[key] = value;
    return true;
  }
  bool remove(const std::string& key) override {
    values.erase(key);
    return true;
  }
};

}  // namespace tolverdine
