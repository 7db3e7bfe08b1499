#include "menus/ImageFile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <memory>
#include <system_error>

namespace vidoria {

namespace {

struct FormatCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScalerFreer {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

bool SizeAllowed(int w, int h, const TImageLimits& limits, std::string& error) {
  if (w <= 0 || h <= 0) {
    error = "the picture has no size";
    return false;
  }
  if (w > limits.MaxSide || h > limits.MaxSide) {
    error = "the picture is too large (" + std::to_string(w) + " x " + std::to_string(h) + ")";
    return false;
  }
  const double aspect = double(std::max(w, h)) / double(std::min(w, h));
  if (aspect > limits.MaxAspect) {
    error = "the picture is too narrow (" + std::to_string(w) + " x " + std::to_string(h) + ")";
    return false;
  }
  return true;
}

// Receives the first decoded picture, feeding packets of `stream` as the decoder asks.
bool DecodeFirstFrame(AVFormatContext* fmt, int stream, AVCodecContext* dec, AVFrame* frame) {
  std::unique_ptr<AVPacket, PacketFreer> pkt(av_packet_alloc());
  if (!pkt) return false;
  bool draining = false;
  for (;;) {
    int r = avcodec_receive_frame(dec, frame);
    if (r == 0) return true;
    if (r != AVERROR(EAGAIN) || draining) return false;
    r = av_read_frame(fmt, pkt.get());
    if (r < 0) {
      draining = true;
      if (avcodec_send_packet(dec, nullptr) < 0) return false;
      continue;
    }
    if (pkt->stream_index == stream) r = avcodec_send_packet(dec, pkt.get());
    av_packet_unref(pkt.get());
    // A broken packet is no reason to give up while later ones may decode.
    if (r < 0 && r != AVERROR_INVALIDDATA) return false;
  }
}

}  // namespace

bool LoadImageFile(const std::filesystem::path& file, TBitmap32& picture, std::string& error,
                   const TImageLimits& limits) {
  picture.SetSize(0, 0);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) {
    error = "file not found";
    return false;
  }
  // "file:" keeps a colon in the name from being read as a protocol.
  const std::string url = "file:" + file.string();
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, url.c_str(), nullptr, nullptr) < 0) {
    error = "not a picture";
    return false;
  }
  std::unique_ptr<AVFormatContext, FormatCloser> fmt(raw);
  if (avformat_find_stream_info(fmt.get(), nullptr) < 0) {
    error = "not a picture";
    return false;
  }
  const AVCodec* codec = nullptr;
  const int stream = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (stream < 0 || !codec) {
    error = "not a picture";
    return false;
  }
  const AVCodecParameters* par = fmt->streams[stream]->codecpar;
  if (!SizeAllowed(par->width, par->height, limits, error)) return false;

  std::unique_ptr<AVCodecContext, CodecFreer> dec(avcodec_alloc_context3(codec));
  if (!dec || avcodec_parameters_to_context(dec.get(), par) < 0) {
    error = "out of memory";
    return false;
  }
  // The header may lie; the decoder itself refuses frames beyond the limit.
  dec->max_pixels = int64_t(limits.MaxSide) * limits.MaxSide;
  dec->thread_count = 1;
  if (avcodec_open2(dec.get(), codec, nullptr) < 0) {
    error = "no decoder for this picture";
    return false;
  }
  std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
  if (!frame || !DecodeFirstFrame(fmt.get(), stream, dec.get(), frame.get())) {
    error = "the picture could not be decoded";
    return false;
  }
  const int w = frame->width, h = frame->height;
  if (!SizeAllowed(w, h, limits, error)) return false;

  std::unique_ptr<SwsContext, ScalerFreer> sws(sws_getContext(w, h, AVPixelFormat(frame->format), w, h, AV_PIX_FMT_BGRA,
                                                              SWS_POINT, nullptr, nullptr, nullptr));
  if (!sws) {
    error = "unsupported picture format";
    return false;
  }
  TBitmap32 out;
  if (!out.SetSize(w, h, 0xFF000000)) {
    error = "out of memory";
    return false;
  }
  uint8_t* dst[4] = {reinterpret_cast<uint8_t*>(out.Bits()), nullptr, nullptr, nullptr};
  int dstStride[4] = {out.Stride(), 0, 0, 0};
  if (sws_scale(sws.get(), frame->data, frame->linesize, 0, h, dst, dstStride) != h) {
    error = "the picture could not be converted";
    return false;
  }
  // Formats without alpha leave the alpha byte as the converter pleases; make them opaque.
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
  if (!desc || !(desc->flags & AV_PIX_FMT_FLAG_ALPHA)) {
    TColor32* p = out.Bits();
    for (size_t i = 0, n = size_t(w) * size_t(h); i < n; ++i) p[i] |= 0xFF000000u;
  }
  picture = std::move(out);
  error.clear();
  return true;
}

}  // namespace vidoria
