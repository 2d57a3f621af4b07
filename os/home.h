// The user's home folder and the program's folders under it, read at every call so that a
// process (or a test) that points HOME elsewhere gets its files under the new home.
#pragma once

#include <stdexcept>
#include <string>

namespace tolverdine {

/// No home folder: HOME is unset or empty and the user database names none either.
struct HomeUnknown : std::runtime_error {
  HomeUnknown();
};

/// HOME when set and not empty, else the home folder the user database names for this user;
/// throws HomeUnknown when neither gives an absolute path (never "" nor a guess such as /tmp,
/// which would scatter the database and settings into another place).
std::string homeDir();

/// "<home>/Library/Application Support/TOLVERDINE": database, settings, presets, profiles, token.
std::string applicationSupportDir();

/// "<home>/Library/Logs/TOLVERDINE": the application and recap logs.
std::string applicationLogsDir();

}  // namespace tolverdine
