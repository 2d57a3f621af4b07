#include "platform/opener.h"

#include <glib.h>

#include "engine/base/text.h"

namespace tolverdine {

namespace {
// Only absolute paths: one beginning with "-" would otherwise reach the program as an option.
bool spawnDetached(const std::string& program, const std::string& arg) {
  if (arg.empty() || arg[0] != '/') return false;
  gchar* argv[] = {const_cast<gchar*>(program.c_str()), const_cast<gchar*>(arg.c_str()), nullptr};
  GError* e = nullptr;
  // Without DO_NOT_REAP_CHILD GLib double-forks, so nothing is left to wait for.
  gboolean ok = g_spawn_async(
      nullptr, argv, nullptr,
      GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
      nullptr, nullptr, nullptr, &e);
  g_clear_error(&e);
  return ok;
}
}  // namespace

bool XdgOpener::open(const std::string& path) { return spawnDetached(program_, path); }

bool XdgOpener::reveal(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  return spawnDetached(program_, parentPath(path));
}

}  // namespace tolverdine
