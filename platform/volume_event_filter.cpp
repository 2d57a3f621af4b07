#include "engine/card/card_detect.h"
#include "platform/volume_watcher.h"

namespace tolverdine {

std::optional<VolumeEvent> VolumeEventFilter::changed(const DiskInfo& info) {
  if (!info.bsd) return std::nullopt;
  if (!info.path) return withdraw(info);
  auto it = mounted_.find(*info.bsd);
  if (it != mounted_.end() && it->second == *info.path) return std::nullopt;
  bool counts = false;
  for (const auto& p : prefixes_)
    if (info.path->rfind(p, 0) == 0) counts = true;
  if (!counts) return std::nullopt;
  mounted_[*info.bsd] = *info.path;
  return VolumeEvent{
      VolumeEvent::Kind::mounted,       info.path, info.name,
      info.removable && !info.internal, info.bsd,  isDiskImage(info.model, info.protocol)};
}

std::optional<VolumeEvent> VolumeEventFilter::disappeared(const DiskInfo& info) {
  if (!info.bsd) return std::nullopt;
  return withdraw(info);
}

std::optional<VolumeEvent> VolumeEventFilter::withdraw(const DiskInfo& info) {
  auto it = mounted_.find(*info.bsd);
  if (it == mounted_.end()) return std::nullopt;
  std::string former = it->second;
  mounted_.erase(it);
  return VolumeEvent{
      VolumeEvent::Kind::unmounted, former, info.name, info.removable, info.bsd, false};
}

}  // namespace tolverdine
