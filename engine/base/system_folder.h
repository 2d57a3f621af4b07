// Folders that can never hold copies: the root, the system's own folders and file systems that
// are read-only or the kernel's. A destination there would fill the system disk or fail on the
// first write with a reason that names neither.
#pragma once

#include <optional>
#include <string>

#include "os/fs.h"

namespace tolverdine {

/// Why the folder at canonical (an absolute canonical path) cannot be a destination, in Korean;
/// absent when it can. Refused: "/", a folder of the system (/etc, /usr, /proc, /run and the like,
/// but not /run/media) and an existing folder on a read-only or kernel file system. A folder
/// that does not exist yet is judged by its path alone. named, when given, is the path as the
/// person wrote it (a relative one from the current folder): the system's folders are judged on
/// it, since a link or a bind mount may lead a plain folder through one (/home → /var/home).
std::optional<std::string> systemFolderProblem(const std::string& canonical, Fs& fs = realFs(),
                                               const std::string& named = "");

}  // namespace tolverdine
