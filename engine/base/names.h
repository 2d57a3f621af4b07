// Where every file of a card lands: the project's folder names, the path joiner, the split
// layout (camera / session / class), the card mirror and its reel name.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "engine/base/records.h"

namespace tolverdine {

struct NameSet {
  std::string footage, audio, photo, edit, delivery, reports, extra, mirror;
  std::map<std::string, std::string> classLabels;

  static const NameSet& ko();
  static const NameSet& en();
  /// footage, audio, photo, edit, delivery, reports.
  std::vector<std::string> topFolders() const;
  /// Override entry, else classLabels entry, else the class itself.
  std::string label(const std::string& cls,
                    const std::map<std::string, std::string>& labels = {}) const;
  bool operator==(const NameSet&) const = default;
};

/// Drops empty parts, joins with "/", returns NFC.
std::string join(const std::vector<std::string>& parts);
template <class... T> std::string join(const T&... parts) {
  return join(std::vector<std::string>{std::string(parts)...});
}

/// date + "_" + project, NFC.
std::string projectFolder(const std::string& date, const std::string& project);

/// Fills dest (and owner for sidecars) of every row.
void destPaths(std::vector<Row>& rows, const std::string& cam, const NameSet& names,
               const std::map<std::string, std::string>& labels = {});

/// Mirror storage: view = the split dest (none for card extras), dest = mirror/reel/rel.
void mirrorPaths(std::vector<Row>& rows, const std::string& reel, const NameSet& names);

}  // namespace tolverdine
