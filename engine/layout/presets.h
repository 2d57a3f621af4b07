// Named rule lists: four built in, more saved by the user in a JSON file.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/layout/rules.h"

namespace tolverdine {

using PresetMap = std::map<std::string, std::vector<Rule>>;

/// A preset map that cannot be written as JSON (a bound that is not a finite number, text that
/// is not UTF-8).
struct PresetEncodeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Presets {
  Presets() = delete;

  static const PresetMap& defaults();
  /// $HOME/.tolverdine/presets.json: the older place, only read.
  static std::string v0Path();
  /// $HOME/Library/Application Support/TOLVERDINE/presets.json: the user's saved presets.
  static std::string customPath();

  /// The map in a file; defaults() when it is missing or not a valid preset map.
  static PresetMap load(const std::string& path);
  /// A valid older file replaces the built-in presets; a valid custom file is merged on top.
  static PresetMap loadAll(const std::string& v0, const std::string& custom);
  /// Sets one preset in the custom file (a corrupt one is started afresh) and writes it whole,
  /// atomically. Throws PresetEncodeError, or WriteFail when a folder or the file cannot be
  /// written.
  static void saveCustom(const std::string& name, const std::vector<Rule>& rules,
                         const std::string& custom);

  /// The rules of the chosen preset, the built-in "default" ones when the name is unknown.
  static std::vector<Rule> rulesFor(const PresetMap& presets, const std::string& name);

  /// Parses a preset file's text; absent when it is not an object of arrays of rule objects
  /// each with a text "class" and well-typed optional members.
  static std::optional<PresetMap> decode(std::string_view text);
  /// Pretty-printed JSON with sorted keys. Throws PresetEncodeError.
  static std::string encode(const PresetMap& presets);
};

}  // namespace tolverdine
