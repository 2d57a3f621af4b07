// The in-process media reader, on FFmpeg's libavformat.
#include <algorithm>
#include <memory>
#include <mutex>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include "engine/base/iso_date.h"
#include "engine/media/ffprobe_json.h"
#include "engine/media/probe.h"

namespace tolverdine {

namespace {

struct InputCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};

void quietOnce() {
  // Damaged clips are expected on cards; the library's complaints would only flood stderr.
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

}  // namespace

Meta avfProbe(const std::string& path) {
  quietOnce();
  Meta m;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return m;
  std::unique_ptr<AVFormatContext, InputCloser> ctx(raw);
  // Fills stream parameters that some containers keep only in the packets; a failure leaves
  // whatever the header gave.
  avformat_find_stream_info(ctx.get(), nullptr);

  if (ctx->duration != AV_NOPTS_VALUE)
    m.dur = usableDuration(static_cast<double>(ctx->duration) / AV_TIME_BASE);

  if (AVDictionaryEntry* e = av_dict_get(ctx->metadata, "creation_time", nullptr, 0))
    if (e->value) m.t = parseInternetDateAny(e->value);

  bool sawVideo = false;
  for (unsigned i = 0; i < ctx->nb_streams; ++i) {
    AVStream* s = ctx->streams[i];
    const AVCodecParameters* par = s->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO && !sawVideo) {
      if (s->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;  // cover art, not a picture track
      sawVideo = true;
      m.res = std::to_string(par->width) + "x" + std::to_string(par->height);
      AVRational r =
          s->avg_frame_rate.num && s->avg_frame_rate.den ? s->avg_frame_rate : s->r_frame_rate;
      m.fps = r.den ? roundFps(av_q2d(r)) : std::optional<double>(0.0);
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
      m.ch = std::max(m.ch, par->ch_layout.nb_channels);
    }
  }
  return m;
}

}  // namespace tolverdine
