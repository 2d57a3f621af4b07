// Names that become one folder or file name on a destination (project, camera label, class):
// checked before anything is built from them, so no name can climb out of its parent folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolverdine {

/// Longest accepted name in bytes; leaves room for the date and suffixes added around it.
inline constexpr size_t kMaxPathNameBytes = 200;

/// Why name cannot be a path component, in Korean; absent when it can. Refused: not UTF-8, blank
/// (nothing but spaces), "." or ".." (also padded with spaces), a "/", NUL or another control
/// character, more than kMaxPathNameBytes bytes.
std::optional<std::string> pathNameProblem(std::string_view name);

inline bool isSafePathName(std::string_view name) { return !pathNameProblem(name); }

/// A relative path ("/" separators) read from a record or another tool's list that cannot lead
/// out of the folder it is joined to: not empty, not absolute, no ".." component.
bool staysInside(std::string_view rel);

}  // namespace tolverdine
