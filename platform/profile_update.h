// The start-up check for a newer camera-profile pack on the vendor's download server.
#pragma once

#include <string>

namespace tolverdine {

/// The download server, fixed when the program is built.
std::string profileServer();

/// Fetches and installs a newer pack at Profiles::overrideURL(); silent on every failure.
/// Blocks for the download: call it from a background task.
bool updateProfiles();

}  // namespace tolverdine
