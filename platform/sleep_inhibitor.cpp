#include "platform/sleep_inhibitor.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>

namespace tolverdine {

void LogindSleepInhibitor::hold(const std::string& reason) {
  if (fd_) return;
  GError* err = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &err);
  if (!bus) {
    g_clear_error(&err);
    return;
  }
  GUnixFDList* fds = nullptr;
  GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
      bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
      "Inhibit", g_variant_new("(ssss)", "idle:sleep", "TOLVERDINE", reason.c_str(), "block"),
      G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &fds, nullptr, &err);
  if (reply) {
    gint32 idx = -1;
    g_variant_get(reply, "(h)", &idx);
    if (fds && idx >= 0) fd_.reset(g_unix_fd_list_get(fds, idx, nullptr));
    g_variant_unref(reply);
  }
  g_clear_error(&err);
  if (fds) g_object_unref(fds);
  g_object_unref(bus);
}

void LogindSleepInhibitor::release() { fd_.reset(); }

}  // namespace tolverdine
