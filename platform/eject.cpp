#include "platform/eject.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/dbus_connect.h"
#include "platform/mount_table.h"

namespace tolverdine {

namespace {
// UDisks names block objects after the device, with every byte outside [A-Za-z0-9] as _XX.
std::string blockObjectPath(const std::string& bsd) {
  std::string p = "/org/freedesktop/UDisks2/block_devices/";
  for (unsigned char ch : bsd) {
    if (isalnum(ch)) {
      p += char(ch);
    } else {
      char b[4];
      snprintf(b, sizeof b, "_%02x", ch);
      p += b;
    }
  }
  return p;
}

std::string remoteMessage(GError* e) {
  if (!e) return "unknown error";
  g_dbus_error_strip_remote_error(e);
  return e->message;
}

std::optional<EjectFailure> unmountDirect(const std::string& mp) {
  if (umount2(mp.c_str(), 0) == 0) return std::nullopt;
  return EjectFailure{std::strerror(errno)};
}

enum class Bus { done, failed, absent };

Bus viaUDisks(GDBusConnection* c, const std::string& bsd, int timeoutMs, std::string* why) {
  std::string obj = blockObjectPath(bsd);
  GError* e = nullptr;
  GVariant* r = g_dbus_connection_call_sync(
      c, "org.freedesktop.UDisks2", obj.c_str(), "org.freedesktop.UDisks2.Filesystem", "Unmount",
      g_variant_new("(a{sv})", nullptr), nullptr, G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &e);
  if (!r) {
    bool absent = serviceMissing(e);
    *why = remoteMessage(e);
    g_clear_error(&e);
    return absent ? Bus::absent : Bus::failed;
  }
  g_variant_unref(r);
  // Powering the drive off is a courtesy; the volume is already safe to pull.
  r = g_dbus_connection_call_sync(
      c, "org.freedesktop.UDisks2", obj.c_str(), "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", "org.freedesktop.UDisks2.Block", "Drive"), G_VARIANT_TYPE("(v)"),
      G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, nullptr);
  if (r) {
    GVariant* v = nullptr;
    g_variant_get(r, "(v)", &v);
    std::string drive = v && g_variant_is_of_type(v, G_VARIANT_TYPE_OBJECT_PATH)
                            ? g_variant_get_string(v, nullptr)
                            : "/";
    if (v) g_variant_unref(v);
    g_variant_unref(r);
    if (drive != "/") {
      GVariant* p = g_dbus_connection_call_sync(
          c, "org.freedesktop.UDisks2", drive.c_str(), "org.freedesktop.UDisks2.Drive", "PowerOff",
          g_variant_new("(a{sv})", nullptr), nullptr, G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr,
          nullptr);
      if (p) g_variant_unref(p);
    }
  }
  return Bus::done;
}
}  // namespace

std::optional<EjectFailure> UDisksEjector::eject(const std::string& mountPoint) {
  char buf[PATH_MAX];
  std::string mp = realpath(mountPoint.c_str(), buf) ? std::string(buf) : mountPoint;
  auto m = mountAt(readMountTable(mountinfo_), mp);
  if (!m) return EjectFailure{"not mounted: " + mp};
  std::string why;
  if (GDBusConnection* c = connectBus(G_BUS_TYPE_SYSTEM, &why)) {
    Bus b = Bus::absent;
    if (m->source.rfind("/dev/", 0) == 0) {
      std::string bsd = m->source.substr(m->source.rfind('/') + 1);
      if (realpath(m->source.c_str(), buf))
        bsd = std::string(buf).substr(std::string(buf).rfind('/') + 1);
      b = viaUDisks(c, bsd, timeoutMs_, &why);
    }
    g_dbus_connection_close_sync(c, nullptr, nullptr);
    g_object_unref(c);
    if (b == Bus::done) return std::nullopt;
    if (b == Bus::failed) return EjectFailure{why};
  }
  if (geteuid() == 0) return unmountDirect(mp);
  return EjectFailure{"UDisks2 unavailable: " + why};
}

}  // namespace tolverdine
