#include "platform/preferences_store.h"

#include <cstdio>
#include <cstdlib>

#include "engine/base/files.h"
#include "engine/base/records.h"

namespace tolverdine {

JsonFilePreferences::JsonFilePreferences(std::string dir)
    : dir_(std::move(dir)), path_(dir_ + "/settings.json") {
  if (!exists(path_)) return;
  std::string text;
  bool ok = readFile(path_, &text);
  if (ok) {
    auto j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_discarded() && j.is_object()) {
      data_ = std::move(j);
      return;
    }
  }
  std::rename(path_.c_str(), (path_ + ".bad").c_str());
}

std::optional<nlohmann::json> JsonFilePreferences::get(const std::string& key) const {
  auto it = data_.find(key);
  if (it == data_.end()) return std::nullopt;
  return *it;
}

bool JsonFilePreferences::set(const std::string& key, const nlohmann::json& value) {
  // Text that is not UTF-8 (a mount path of raw bytes, say) cannot be written as JSON; kept,
  // it would make every later save throw.
  try {
    (void)value.dump();
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
  data_[key] = value;
  return save();
}

bool JsonFilePreferences::remove(const std::string& key) {
  data_.erase(key);
  return save();
}

bool JsonFilePreferences::save() {
  try {
    mkdirs(dir_);
    writeFileAtomic(path_, data_.dump(2) + "\n");
    return true;
  } catch (const WriteFail&) {
    return false;
  }
}

}  // namespace tolverdine
