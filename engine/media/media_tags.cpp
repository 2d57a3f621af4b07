// Container tags through libavformat: only the header is read, no packets.
#include "engine/media/media_tags.h"

#include <memory>
#include <mutex>
#include <optional>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include "engine/base/text.h"

namespace tolverdine {

namespace {
struct InputCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};

std::optional<TagKey> keyOf(const std::string& name) {
  std::string k = lowerUnicode(name);
  if (k == "model" || k == "com.apple.quicktime.model") return TagKey::model;
  if (k == "make" || k == "com.apple.quicktime.make") return TagKey::make;
  // libavformat names the QuickTime user-data software item (©swr) "encoder".
  if (k == "software" || k == "com.apple.quicktime.software" || k == "encoder")
    return TagKey::software;
  return std::nullopt;
}
}  // namespace

std::vector<MediaTag> containerTags(const std::string& path) {
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
  std::vector<MediaTag> tags;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return tags;
  std::unique_ptr<AVFormatContext, InputCloser> ctx(raw);
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(ctx->metadata, "", e, AV_DICT_IGNORE_SUFFIX))) {
    if (!e->key || !e->value) continue;
    if (auto k = keyOf(e->key)) tags.push_back(MediaTag{*k, e->value});
  }
  return tags;
}

}  // namespace tolverdine
