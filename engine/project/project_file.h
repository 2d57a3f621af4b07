// The whole set-up of a production as one JSON file, carried from one machine to another.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/records.h"
#include "engine/copy/storage.h"
#include "engine/layout/rules.h"
#include "engine/store/store.h"

namespace tolverdine {

inline constexpr const char* kProjectSchema = "tolverdine-project/1";
inline constexpr const char* kProjectSchemaPrefix = "tolverdine-project/";
/// Larger files are refused unread: a real set-up is a few kilobytes.
inline constexpr size_t kMaxProjectFileBytes = 4u << 20;

struct ProjectFileError {
  enum class Kind {
    notOurs,  // valid JSON from another program: "TOLVERDINE 프로젝트 파일이 아닙니다"
    unreadable,   // cannot be opened, too large, not UTF-8, not JSON
    invalid,      // a member missing, of the wrong type, or with a value we refuse
    unencodable,  // encoding: text that is not UTF-8, a bound that is not a number
  };
  Kind kind = Kind::invalid;
  std::string message;  // Korean
  const std::string& description() const { return message; }
};

struct ProjectDecoded;

struct ProjectFile {
  using Camera = CameraPair;  // identity (model code, "#serial" when known) and its label

  std::string schema = kProjectSchema;
  std::string name;
  std::optional<std::string> date;  // omitted from the JSON when absent
  std::string preset;
  std::vector<Rule> rules;
  std::string nameSet = "ko";  // "ko" or "en"
  std::map<std::string, std::string> classLabels;
  std::vector<Camera> cameras;
  std::vector<std::string> destinations;
  std::vector<std::string> cascadeDestinations;
  int copiesRequired = 2;
  VerifyMode verify = VerifyMode::standard;
  bool md5 = false;
  StorageMode storage = StorageMode::automatic;
  std::string dayBoundary = "04:00";

  bool operator==(const ProjectFile&) const = default;

  /// Pretty-printed JSON, keys sorted, "/" as written, ending in a line feed; "schema" is always
  /// kProjectSchema and "dayBoundary" "04:00". The same record always gives the same bytes. Throws
  /// ProjectFileError (unencodable).
  std::string encoded() const;

  /// The record in data, or why it is refused; never a record that is only partly right.
  /// Every member except "date" must be present with its type; unknown members are ignored;
  /// any schema beginning "tolverdine-project/" is read. On top of the types: names that become
  /// folders (project, camera labels, rule classes, class labels) must be safe path names,
  /// destinations absolute and distinct, copiesRequired 1 to 64, lists bounded.
  static ProjectDecoded decode(std::string_view data);
  /// decode of a file, refusing one larger than kMaxProjectFileBytes before reading it.
  static ProjectDecoded read(const std::string& path);
};

struct [[nodiscard]] ProjectDecoded {
  std::optional<ProjectFile> file;
  ProjectFileError error;  // meaningful when file is absent
  explicit operator bool() const { return file.has_value(); }
};

/// The suggested file name: the project name followed by ".tolverdine.json".
std::string projectFileName(const std::string& project);

/// encoded(), written atomically over path. Throws ProjectFileError or WriteFail.
void writeProjectFile(const std::string& path, const ProjectFile& file);

}  // namespace tolverdine
