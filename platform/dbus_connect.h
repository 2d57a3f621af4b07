// A private D-Bus connection read from the environment at each call, so a missing bus fails at
// once.
#pragma once

#include <gio/gio.h>

#include <string>

namespace tolverdine {

/// Null (with why) when the bus address is unknown or nothing listens there.
GDBusConnection* connectBus(GBusType type, std::string* why);

/// True when the error says the service is not on the bus at all.
bool serviceMissing(const GError* e);

}  // namespace tolverdine
