#include "platform/volume_watcher.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "engine/base/text.h"
#include "platform/mount_table.h"
#include "platform/sysfs_device.h"

namespace tolverdine {

namespace {
// Mount points whose disk carries the running system; such a disk is never a card.
bool systemMount(const std::string& mp) {
  static const std::set<std::string> sys = {"/", "/boot", "/boot/efi", "/usr", "/var", "/home"};
  return sys.count(mp) > 0;
}

std::optional<std::string> volumeLabel(const std::string& bsd) {
  char* v = blkid_get_tag_value(nullptr, "LABEL", ("/dev/" + bsd).c_str());
  if (!v) return std::nullopt;
  std::string s = v;
  free(v);
  if (s.empty()) return std::nullopt;
  return s;
}

struct Seen {
  std::string mountPoint, bsd;
  DiskInfo info;
};
}  // namespace

struct LinuxVolumeWatcher::Impl {
  VolumeWatcherOptions opt;
  VolumeEventFilter filter;
  VolumeHandler handler;
  GMainContext* ctx = nullptr;
  int fd = -1;
  guint watch = 0;
  guint idle = 0;
  std::map<std::string, Seen> seen;  // mount point -> what it was when last read
  bool started = false;

  static std::vector<std::string> prefixes(const VolumeWatcherOptions& o) {
    std::vector<std::string> p = {"/media/", "/run/media/"};
    p.insert(p.end(), o.extraPrefixes.begin(), o.extraPrefixes.end());
    return p;
  }
  explicit Impl(VolumeWatcherOptions o) : opt(std::move(o)), filter(prefixes(opt)) {}

  void deliver(const std::optional<VolumeEvent>& e) {
    if (e && handler) handler(*e);
  }

  void rescan() {
    auto table = readMountTable(opt.mountinfoPath);
    std::set<std::string> systemDisks;
    std::map<std::string, std::string> bsdOf;
    for (const auto& m : table) {
      auto b = blockName(m.source, opt.sysfsRoot);
      if (!b) continue;
      bsdOf[m.mountPoint] = *b;  // a later mount on the same point hides the earlier
      if (systemMount(m.mountPoint))
        if (auto f = blockFacts(*b, opt.sysfsRoot)) systemDisks.insert(f->wholeDisk);
    }
    // Gone first, so a volume moved to another folder reads as unmounted, then mounted there.
    for (auto it = seen.begin(); it != seen.end();) {
      auto now = bsdOf.find(it->first);
      if (now != bsdOf.end() && now->second == it->second.bsd) {
        ++it;
        continue;
      }
      DiskInfo gone = it->second.info;
      gone.path.reset();
      auto held = filter.mounted().find(it->second.bsd);
      if (held != filter.mounted().end() && held->second == it->first)
        deliver(filter.changed(gone));
      it = seen.erase(it);
    }
    for (const auto& [mp, bsd] : bsdOf) {
      if (seen.count(mp)) continue;
      struct stat st;
      if (stat(mp.c_str(), &st) != 0) continue;  // already gone again; a later change tells
      auto f = blockFacts(bsd, opt.sysfsRoot);
      if (!f) continue;
      DiskInfo info;
      info.path = mp;
      info.bsd = bsd;
      info.name = volumeLabel(bsd);
      if (!info.name) info.name = lastComponent(mp);
      if (f->loop) {
        info.removable = opt.loopRemovable;
        info.model = "Disk Image";
        info.protocol = "Virtual Interface";
      } else {
        info.removable = f->removableFlag || f->usb || f->mmc;
        info.internal = systemDisks.count(f->wholeDisk) > 0;
        info.model = f->model;
        if (f->usb) info.protocol = "USB";
      }
      seen[mp] = {mp, bsd, info};
      deliver(filter.changed(info));
    }
  }

  static gboolean onChanged(gint, GIOCondition, gpointer self) {
    static_cast<Impl*>(self)->rescan();
    return G_SOURCE_CONTINUE;
  }
  void drop(guint id) {
    if (!id) return;
    if (GSource* s = g_main_context_find_source_by_id(ctx, id)) g_source_destroy(s);
  }
  static gboolean onIdle(gpointer self) {
    auto* i = static_cast<Impl*>(self);
    i->idle = 0;
    i->rescan();
    return G_SOURCE_REMOVE;
  }
};

LinuxVolumeWatcher::LinuxVolumeWatcher(VolumeWatcherOptions opt)
    : impl_(std::make_unique<Impl>(std::move(opt))) {
  impl_->ctx = impl_->opt.context ? g_main_context_ref(impl_->opt.context)
                                  : g_main_context_ref(g_main_context_default());
}

LinuxVolumeWatcher::~LinuxVolumeWatcher() {
  impl_->drop(impl_->idle);
  impl_->drop(impl_->watch);
  if (impl_->fd >= 0) ::close(impl_->fd);
  g_main_context_unref(impl_->ctx);
}

void LinuxVolumeWatcher::start(VolumeHandler handler) {
  if (impl_->started) return;
  impl_->started = true;
  impl_->handler = std::move(handler);
  // The kernel flags the mount table with POLLPRI|POLLERR on every change. Watched directly
  // rather than through GUnixMountMonitor, which signals only on the default main context.
  impl_->fd = ::open(impl_->opt.mountinfoPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (impl_->fd >= 0) {
    GSource* w = g_unix_fd_source_new(impl_->fd, GIOCondition(G_IO_PRI | G_IO_ERR));
    g_source_set_callback(w, G_SOURCE_FUNC(Impl::onChanged), impl_.get(), nullptr);
    impl_->watch = g_source_attach(w, impl_->ctx);
    g_source_unref(w);
  }
  // Volumes present before the watcher count as just mounted.
  GSource* s = g_idle_source_new();
  g_source_set_callback(s, Impl::onIdle, impl_.get(), nullptr);
  impl_->idle = g_source_attach(s, impl_->ctx);
  g_source_unref(s);
}

void LinuxVolumeWatcher::rescan() { impl_->rescan(); }

}  // namespace tolverdine
