#include "platform/notifier.h"

#include "platform/dbus_connect.h"
#include "platform/serial_worker.h"

namespace tolverdine {

namespace {
bool sendNotification(const std::string& title, const std::string& body, bool critical,
                      int timeoutMs);
}

struct DbusNotifier::Impl {
  int timeoutMs;
  SerialWorker worker;
};

DbusNotifier::DbusNotifier(int timeoutMs) : impl_(std::make_unique<Impl>()) {
  impl_->timeoutMs = timeoutMs;
}
DbusNotifier::~DbusNotifier() = default;

void DbusNotifier::notify(const std::string& title, const std::string& body, bool critical) {
  int timeoutMs = impl_->timeoutMs;
  impl_->worker.post(
      [timeoutMs, title, body, critical] { sendNotification(title, body, critical, timeoutMs); });
}

void DbusNotifier::drain() { impl_->worker.drain(); }

bool DbusNotifier::notifyNow(const std::string& title, const std::string& body, bool critical) {
  return sendNotification(title, body, critical, impl_->timeoutMs);
}

namespace {
bool sendNotification(const std::string& title, const std::string& body, bool critical,
                      int timeoutMs) {
  GDBusConnection* c = connectBus(G_BUS_TYPE_SESSION, nullptr);
  if (!c) return false;
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(critical ? 2 : 1));
  g_variant_builder_add(&hints, "{sv}", "sound-name",
                        g_variant_new_string(critical ? "dialog-warning" : "message-new-instant"));
  const gchar* noActions[] = {nullptr};
  GVariant* args = g_variant_new("(susss^asa{sv}i)", "TOLVERDINE", 0u, "", title.c_str(),
                                 body.c_str(), noActions, &hints, -1);
  GError* e = nullptr;
  GVariant* r = g_dbus_connection_call_sync(
      c, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
      "org.freedesktop.Notifications", "Notify", args, G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &e);
  bool ok = r != nullptr;
  if (r) g_variant_unref(r);
  g_clear_error(&e);
  g_dbus_connection_close_sync(c, nullptr, nullptr);
  g_object_unref(c);
  return ok;
}
}  // namespace

}  // namespace tolverdine
