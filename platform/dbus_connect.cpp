#include "platform/dbus_connect.h"

namespace tolverdine {

GDBusConnection* connectBus(GBusType type, std::string* why) {
  GError* e = nullptr;
  gchar* addr = g_dbus_address_get_for_bus_sync(type, nullptr, &e);
  if (!addr) {
    if (why) *why = e ? e->message : "no bus address";
    g_clear_error(&e);
    return nullptr;
  }
  auto flags = GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                    G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
  GDBusConnection* c = g_dbus_connection_new_for_address_sync(addr, flags, nullptr, nullptr, &e);
  g_free(addr);
  if (!c) {
    if (why) *why = e ? e->message : "bus connection failed";
    g_clear_error(&e);
    return nullptr;
  }
  g_dbus_connection_set_exit_on_close(c, FALSE);
  return c;
}

bool serviceMissing(const GError* e) {
  return e && (g_error_matches(e, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
               g_error_matches(e, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER));
}

}  // namespace tolverdine
