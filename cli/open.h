// The menu entry's command: opens the page of the running `serve`, starting it first when none
// runs (through the user service where there is one).
#pragma once

#include <string>

namespace tolverdine::cli {

/// "…/TOLVERDINE/web.url": the page address of the running instance (owner-only), removed on exit.
std::string pageAddressPath();
/// True while a `serve` of this user holds its lock.
bool serveRunning();

}  // namespace tolverdine::cli
