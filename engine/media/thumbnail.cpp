#include "engine/media/thumbnail.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "os/fs.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

namespace tolverdine {

namespace {

struct InputCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecCloser {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

void quietOnce() {
  // Damaged clips are expected on cards; the library's complaints would only flood stderr.
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// Clockwise quarter turns that stand the picture upright.
int quarterTurns(AVStream* st) {
  size_t size = 0;
  const uint8_t* m = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (!m || size < 9 * sizeof(int32_t)) return 0;
  double theta = -av_display_rotation_get(reinterpret_cast<const int32_t*>(m));
  if (!std::isfinite(theta)) return 0;
  long q = std::lround(theta / 90.0) % 4;
  return static_cast<int>(q < 0 ? q + 4 : q);
}

// Decodes the first frame at or after target (stream time base); the last frame decoded when the
// stream ends before it (a duration that overstates the clip, a still image).
FramePtr decodeAt(AVFormatContext* fmt, int si, AVCodecContext* dec, int64_t target) {
  PacketPtr pkt(av_packet_alloc());
  FramePtr frame(av_frame_alloc()), last;
  if (!pkt || !frame) return nullptr;
  auto take = [&]() -> int {  // 1: done, 0: need more, -1: error
    for (;;) {
      int rc = avcodec_receive_frame(dec, frame.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return 0;
      if (rc < 0) return -1;
      int64_t pts = frame->best_effort_timestamp;
      if (pts == AV_NOPTS_VALUE || pts >= target) return 1;
      last.reset(av_frame_clone(frame.get()));
      av_frame_unref(frame.get());
    }
  };
  // Bounded so a stream of undecodable packets cannot keep us reading a whole damaged file.
  for (int n = 0; n < 20000; ++n) {
    int rc = av_read_frame(fmt, pkt.get());
    if (rc < 0) break;
    if (pkt->stream_index == si) {
      int s = avcodec_send_packet(dec, pkt.get());
      av_packet_unref(pkt.get());
      if (s < 0 && s != AVERROR(EAGAIN) && s != AVERROR_INVALIDDATA) return nullptr;
      int t = take();
      if (t == 1) return frame;
    } else {
      av_packet_unref(pkt.get());
    }
  }
  avcodec_send_packet(dec, nullptr);
  if (take() == 1) return frame;
  return last;
}

struct Rgb {
  int w = 0, h = 0;
  std::vector<uint8_t> px;  // RGB24, tightly packed
};

std::optional<Rgb> scaleToRgb(const AVFrame* f, int w, int h) {
  auto src = static_cast<AVPixelFormat>(f->format);
  if (f->width <= 0 || f->height <= 0 || !sws_isSupportedInput(src)) return std::nullopt;
  std::unique_ptr<SwsContext, SwsFree> sws(sws_getContext(
      f->width, f->height, src, w, h, AV_PIX_FMT_RGB24, SWS_AREA, nullptr, nullptr, nullptr));
  if (!sws) return std::nullopt;
  Rgb out{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 3)};
  uint8_t* dst[4] = {out.px.data(), nullptr, nullptr, nullptr};
  int stride[4] = {w * 3, 0, 0, 0};
  if (sws_scale(sws.get(), f->data, f->linesize, 0, f->height, dst, stride) <= 0)
    return std::nullopt;
  return out;
}

Rgb rotate(const Rgb& in, int turns) {
  if (turns == 0) return in;
  Rgb out;
  out.w = turns == 2 ? in.w : in.h;
  out.h = turns == 2 ? in.h : in.w;
  out.px.resize(in.px.size());
  for (int y = 0; y < in.h; ++y)
    for (int x = 0; x < in.w; ++x) {
      int nx, ny;
      if (turns == 1) {
        nx = in.h - 1 - y;
        ny = x;
      } else if (turns == 2) {
        nx = in.w - 1 - x;
        ny = in.h - 1 - y;
      } else {
        nx = y;
        ny = in.w - 1 - x;
      }
      std::memcpy(&out.px[(static_cast<size_t>(ny) * out.w + nx) * 3],
                  &in.px[(static_cast<size_t>(y) * in.w + x) * 3], 3);
    }
  return out;
}

std::optional<std::vector<uint8_t>> encode(const Rgb& img, ImageFormat format) {
  const bool jpeg = format == ImageFormat::jpeg;
  const AVCodec* codec = avcodec_find_encoder(jpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_PNG);
  if (!codec) return std::nullopt;
  std::unique_ptr<AVCodecContext, CodecCloser> enc(avcodec_alloc_context3(codec));
  FramePtr frame(av_frame_alloc());
  PacketPtr pkt(av_packet_alloc());
  if (!enc || !frame || !pkt) return std::nullopt;
  const AVPixelFormat pix = jpeg ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_RGB24;
  enc->width = img.w;
  enc->height = img.h;
  enc->pix_fmt = pix;
  enc->time_base = {1, 25};
  if (jpeg) {
    enc->flags |= AV_CODEC_FLAG_QSCALE;
    enc->global_quality = FF_QP2LAMBDA * 3;
  }
  if (avcodec_open2(enc.get(), codec, nullptr) < 0) return std::nullopt;
  frame->width = img.w;
  frame->height = img.h;
  frame->format = pix;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return std::nullopt;
  const uint8_t* src[4] = {img.px.data(), nullptr, nullptr, nullptr};
  int srcStride[4] = {img.w * 3, 0, 0, 0};
  if (jpeg) {
    std::unique_ptr<SwsContext, SwsFree> sws(sws_getContext(
        img.w, img.h, AV_PIX_FMT_RGB24, img.w, img.h, pix, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!sws || sws_scale(sws.get(), src, srcStride, 0, img.h, frame->data, frame->linesize) <= 0)
      return std::nullopt;
    frame->quality = enc->global_quality;
  } else {
    av_image_copy(frame->data, frame->linesize, src, srcStride, pix, img.w, img.h);
  }
  frame->pts = 0;
  if (avcodec_send_frame(enc.get(), frame.get()) < 0 || avcodec_send_frame(enc.get(), nullptr) < 0)
    return std::nullopt;
  std::vector<uint8_t> out;
  while (avcodec_receive_packet(enc.get(), pkt.get()) == 0) {
    out.insert(out.end(), pkt->data, pkt->data + pkt->size);
    av_packet_unref(pkt.get());
  }
  if (out.empty()) return std::nullopt;
  return out;
}

}  // namespace

double middleFrameTime(std::optional<double> durationSec) {
  if (!durationSec || !std::isfinite(*durationSec) || *durationSec <= 0) return 0;
  return std::round(*durationSec / 2 * 600) / 600;
}

std::pair<int, int> fitSize(int w, int h, int maxW, int maxH) {
  if (w <= 0 || h <= 0) return {1, 1};
  double s = std::min({1.0, static_cast<double>(maxW) / w, static_cast<double>(maxH) / h});
  int tw = std::max(1, static_cast<int>(std::lround(w * s)));
  int th = std::max(1, static_cast<int>(std::lround(h * s)));
  return {std::min(tw, std::max(1, maxW)), std::min(th, std::max(1, maxH))};
}

std::optional<std::vector<uint8_t>> makeThumbnail(const std::string& path,
                                                  const ThumbnailOptions& o) {
  quietOnce();
  struct stat sb {};
  // A folder opens for reading on Linux; only regular files with content are pictures.
  if (realFs().stat(path, &sb) != 0 || !S_ISREG(sb.st_mode) || sb.st_size <= 0) return std::nullopt;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return std::nullopt;
  std::unique_ptr<AVFormatContext, InputCloser> fmt(raw);
  if (avformat_find_stream_info(fmt.get(), nullptr) < 0) return std::nullopt;
  int si = -1;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    AVStream* s = fmt->streams[i];
    if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(s->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      si = static_cast<int>(i);
      break;
    }
  }
  if (si < 0) return std::nullopt;
  AVStream* st = fmt->streams[si];
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return std::nullopt;
  std::unique_ptr<AVCodecContext, CodecCloser> dec(avcodec_alloc_context3(codec));
  if (!dec || avcodec_parameters_to_context(dec.get(), st->codecpar) < 0) return std::nullopt;
  dec->thread_count = 0;
  if (avcodec_open2(dec.get(), codec, nullptr) < 0) return std::nullopt;

  std::optional<double> dur;
  if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0)
    dur = static_cast<double>(fmt->duration) / AV_TIME_BASE;
  const double at = o.at ? std::max(0.0, *o.at) : middleFrameTime(dur);
  const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  const double tb = av_q2d(st->time_base);
  int64_t target = start;
  if (at > 0 && tb > 0) {
    target = start + static_cast<int64_t>(at / tb);
    // A failed seek leaves the reader at the start; decoding then walks up to the target.
    av_seek_frame(fmt.get(), si, target, AVSEEK_FLAG_BACKWARD);
  }
  FramePtr frame = decodeAt(fmt.get(), si, dec.get(), target);
  if (!frame || frame->width <= 0 || frame->height <= 0) return std::nullopt;

  const int turns = quarterTurns(st);
  double dispW = frame->width;
  AVRational sar =
      frame->sample_aspect_ratio.num > 0 ? frame->sample_aspect_ratio : st->sample_aspect_ratio;
  if (sar.num > 0 && sar.den > 0) dispW = frame->width * av_q2d(sar);
  int upW = static_cast<int>(std::lround(dispW)), upH = frame->height;
  if (turns % 2) std::swap(upW, upH);
  auto [tw, th] = fitSize(upW, upH, o.maxWidth, o.maxHeight);
  const int sw = turns % 2 ? th : tw, sh = turns % 2 ? tw : th;
  auto rgb = scaleToRgb(frame.get(), sw, sh);
  if (!rgb) return std::nullopt;
  return encode(rotate(*rgb, turns), o.format);
}

// ---- cache ----

std::optional<ThumbnailCache::Stamp> ThumbnailCache::stamp(const std::string& path) {
  struct stat sb {};
  if (realFs().stat(path, &sb) != 0) return std::nullopt;
  return Stamp{int64_t{sb.st_mtim.tv_sec} * 1000000000 + sb.st_mtim.tv_nsec,
               static_cast<int64_t>(sb.st_size)};
}

std::optional<ThumbnailCache::Image> ThumbnailCache::get(const std::string& path) const {
  auto now = stamp(path);
  std::lock_guard<std::mutex> l(m_);
  auto it = slots_.find(path);
  if (it == slots_.end()) return std::nullopt;
  if (!now || !(*now == it->second.stamp)) {
    slots_.erase(it);  // the file changed or went away: the picture is stale
    return std::nullopt;
  }
  it->second.used = ++clock_;
  return it->second.image;
}

void ThumbnailCache::put(const std::string& path, Image image) {
  auto now = stamp(path);
  std::lock_guard<std::mutex> l(m_);
  if (!now) {
    slots_.erase(path);
    return;
  }
  slots_[path] = Slot{*now, std::move(image), ++clock_};
  while (slots_.size() > capacity_ && capacity_ > 0) {
    auto oldest = slots_.begin();
    for (auto it = slots_.begin(); it != slots_.end(); ++it)
      if (it->second.used < oldest->second.used) oldest = it;
    slots_.erase(oldest);
  }
}

}  // namespace tolverdine
