#include "encode/U_Encoder_50.h"

#include "input/U_AvUtils.h"

#include "mux/U_DVDMux_50.h"
#include "mux/U_VobuCollection.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>
#include <cctype>
#include <chrono>
#include <cmath>
#include <stdexcept>

namespace vidoria {

namespace {

// The input layer's owners of FFmpeg objects, under this unit's short names.
using CodecPtr = AvCodecContextPtr;
using FramePtr = AvFramePtr;
using PacketPtr = AvPacketPtr;
using ScalerPtr = SwsContextPtr;

using Clock = std::chrono::steady_clock;

std::string AvError(int code) {
  return AvErrorText(code);
}


int RoundUp4(double v) {
  const int64_t i = int64_t(std::ceil(v - 1e-9));
  return int((i + 3) / 4 * 4);
}

// A letter of a language code, lower case; anything else becomes zero.
char LanguageLetter(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return std::isalpha(u) ? char(std::tolower(u)) : '\0';
}

// Interleaved signed 16-bit samples into one audio frame of the encoder's format.
void FillAudioFrame(AVFrame* f, const int16_t* s, int samples, int channels) {
  const auto fmt = AVSampleFormat(f->format);
  const bool planar = av_sample_fmt_is_planar(fmt);
  for (int i = 0; i < samples; ++i)
    for (int c = 0; c < channels; ++c) {
      const int16_t v = s[size_t(i) * size_t(channels) + size_t(c)];
      const size_t at = planar ? size_t(i) : size_t(i) * size_t(channels) + size_t(c);
      uint8_t* plane = f->extended_data[planar ? c : 0];
      switch (av_get_packed_sample_fmt(fmt)) {
        case AV_SAMPLE_FMT_S16: reinterpret_cast<int16_t*>(plane)[at] = v; break;
        case AV_SAMPLE_FMT_S32: reinterpret_cast<int32_t*>(plane)[at] = int32_t(v) * 65536; break;
        case AV_SAMPLE_FMT_FLT: reinterpret_cast<float*>(plane)[at] = float(v) / 32768.0f; break;
        case AV_SAMPLE_FMT_DBL: reinterpret_cast<double*>(plane)[at] = double(v) / 32768.0; break;
        default: break;
      }
    }
}

bool SupportedSampleFormat(AVSampleFormat f) {
  switch (av_get_packed_sample_fmt(f)) {
    case AV_SAMPLE_FMT_S16:
    case AV_SAMPLE_FMT_S32:
    case AV_SAMPLE_FMT_FLT:
    case AV_SAMPLE_FMT_DBL: return true;
    default: return false;
  }
}

}  // namespace

bool ReadPictureHeader(const uint8_t* data, size_t size, TPictureType& type, uint16_t& temporalReference) {
  for (size_t i = 0; i + 5 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1 || data[i + 3] != 0) continue;
    temporalReference = uint16_t((data[i + 4] << 2) | (data[i + 5] >> 6));
    const int coding = (data[i + 5] >> 3) & 7;
    if (coding < 1 || coding > 3) return false;
    type = TPictureType(coding);
    return true;
  }
  return false;
}

// ------------------------------------------------------------------ settings

TFFMpeg_encoder::TFFMpeg_encoder(std::shared_ptr<TDVDPalette> palette, std::shared_ptr<TVobuCollection> collection)
    : palette_(std::move(palette)), collection_(std::move(collection)) {
  if (collection_) {
    if (collection_->Palette) palette_ = collection_->Palette;
    else collection_->Palette = palette_;
  } else {
    collection_ = std::make_shared<TVobuCollection>(palette_);
  }
  ResetDefaults();
}

TFFMpeg_encoder::~TFFMpeg_encoder() = default;

void TFFMpeg_encoder::ResetDefaults() {
  cluster_.Clear();
  settings_ = TEncoderSettings{};
  SetVideoStandard("pal");
  SetAudioStreamCount(1);
  SetVideoBitrate(6000000);
}

void TFFMpeg_encoder::SetVideoStandard(std::string_view standard) {
  std::string word(standard);
  for (char& c : word) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (word == "pal") {
    settings_.Pal = true;
    settings_.Width = 720;
    settings_.Height = 576;
    settings_.FrameRate = {25, 1};
    settings_.GopSize = 12;
  } else if (word == "ntsc") {
    settings_.Pal = false;
    settings_.Width = 720;
    settings_.Height = 480;
    settings_.FrameRate = {30000, 1001};
    settings_.GopSize = 15;
  } else {
    throw std::invalid_argument("Incorrect video standard set");
  }
}

void TFFMpeg_encoder::SetAspectRatio(double aspect) {
  settings_.Aspect = aspect;
  collection_->Widescreen = aspect > 1.5;
}

void TFFMpeg_encoder::SetVideoBitrate(int64_t requested) {
  const int64_t ceiling = 9100000 - int64_t(settings_.AudioStreams) * settings_.AudioBitrate;
  settings_.VideoBitrate = std::min(ceiling, requested);
  settings_.MaxRate = ceiling;
  settings_.MinRate = 0;
  settings_.BitrateTolerance = ceiling;
}

void TFFMpeg_encoder::SetAudioStreamCount(int count) {
  settings_.AudioStreams = std::clamp(count, 1, int(TVobuCollection::kAudioSlots));
}

void TFFMpeg_encoder::SetAudioCodec(AVCodecID codec, int64_t bitrate, int sampleRate, int channels) {
  settings_.AudioCodec = codec;
  settings_.AudioBitrate = bitrate;
  settings_.SampleRate = sampleRate;
  const bool multichannel = codec == AV_CODEC_ID_AC3 || codec == AV_CODEC_ID_DTS;
  settings_.Channels = multichannel ? std::clamp(channels, 1, 6) : std::clamp(channels, 1, 2);
}

void TFFMpeg_encoder::SetSubpictureStreamCount(int count) {
  settings_.SubpictureStreams = std::clamp(count, 0, int(TVobuCollection::kSubpictureSlots));
  settings_.SubpictureLanguages.resize(size_t(settings_.SubpictureStreams), std::array<char, 2>{0, 0});
}

void TFFMpeg_encoder::SetSubpictureLanguage(int stream, std::string_view code) {
  if (stream < 0 || stream >= settings_.SubpictureStreams) return;
  std::array<char, 2> lang{0, 0};
  if (code.size() >= 2) lang = {LanguageLetter(code[0]), LanguageLetter(code[1])};
  if (lang[0] == 0 || lang[1] == 0) lang = {0, 0};
  settings_.SubpictureLanguages[size_t(stream)] = lang;
}

void TFFMpeg_encoder::SetFrameCount(int64_t frames) {
  settings_.FrameCount = std::max<int64_t>(frames, 0);
  settings_.DurationSeconds =
      double(settings_.FrameCount) * settings_.FrameRate.den / std::max(settings_.FrameRate.num, 1);
}

int TFFMpeg_encoder::CanvasWidth() const {
  const TEncoderSettings& s = settings_;
  int w;
  if (s.CanvasFromWidth) {
    w = RoundUp4(s.Width + s.BorderLeft + s.BorderRight);
  } else {
    const int h = RoundUp4(s.Height + s.BorderTop + s.BorderBottom);
    w = RoundUp4(std::rint(h * s.PixelRatio * s.Aspect));
  }
  return RoundUp4(w * s.Scale);
}

int TFFMpeg_encoder::CanvasHeight() const {
  const TEncoderSettings& s = settings_;
  int h;
  if (s.CanvasFromWidth) {
    const int w = RoundUp4(s.Width + s.BorderLeft + s.BorderRight);
    h = RoundUp4(std::rint(w * s.PixelRatio / s.Aspect));
  } else {
    h = RoundUp4(s.Height + s.BorderTop + s.BorderBottom);
  }
  return RoundUp4(h * s.Scale);
}

std::shared_ptr<TVobuCollection> TFFMpeg_encoder::DetachVobuCollection() {
  auto c = std::move(collection_);
  collection_ = std::make_shared<TVobuCollection>(palette_);
  return c;
}

// ------------------------------------------------------------------ the run

struct TFFMpeg_encoder::Run {
  struct Audio {
    CodecPtr ctx;
    FramePtr frame;
    int64_t fedTime = 0;  // 90 kHz, scheduling
    int64_t emitted = 0;  // packets handed on
    int64_t frameTicks = 0;
    std::vector<int16_t> samples;
  };

  CodecPtr video;
  FramePtr yuv;
  ScalerPtr scaler;
  TBitmap32 canvas;
  TBitmap32 converted;  // the canvas as it was last converted into `yuv`
  PacketPtr packet;
  std::vector<Audio> audio;

  int64_t framesEncoded = 0;
  int64_t videoEmitted = 0;
  int64_t lastIDts = -1;
  uint16_t vobId = 1;
  uint8_t cellId = 1;
  // Ids the frame supplier asked for, waiting for an I picture.
  uint16_t pendingVob = 0;
  uint8_t pendingCell = 0;
  bool failed = false;
  Clock::duration videoTime{}, audioTime{};
};

bool TFFMpeg_encoder::Prepare(Run& run) {
  const TEncoderSettings& s = settings_;
  if (cluster_.Count() == 0) {
    Log(EVT_ERROR, "Output file is not set");
    return false;
  }

  // Video.
  const AVCodec* vcodec = avcodec_find_encoder(s.VideoCodec);
  if (!vcodec) {
    LogFmt(EVT_ERROR, "No encoder for %s", std::string(avcodec_get_name(s.VideoCodec)));
    return false;
  }
  run.video.reset(avcodec_alloc_context3(vcodec));
  if (!run.video) {
    Log(EVT_ERROR, "Could not alloc video stream");
    return false;
  }
  AVCodecContext* v = run.video.get();
  if (s.Threads > 1) v->thread_count = s.Threads;
  else v->thread_count = 1;
  v->codec_id = s.VideoCodec;
  v->codec_type = AVMEDIA_TYPE_VIDEO;
  // An average equal to the ceiling leaves rate control no room: libavcodec warns that
  // it "will fail" and overshoots the buffer. Keep the average a little below it.
  v->bit_rate = s.MaxRate > 0 ? std::min(s.VideoBitrate, s.MaxRate * 95 / 100) : s.VideoBitrate;
  v->rc_max_rate = s.MaxRate;
  v->rc_min_rate = s.MinRate;
  v->bit_rate_tolerance = int(std::min<int64_t>(s.BitrateTolerance, INT32_MAX));
  AVRational rate = s.FrameRate;
  if (vcodec->supported_framerates) {
    const int best = av_find_nearest_q_idx(rate, vcodec->supported_framerates);
    rate = vcodec->supported_framerates[best];
  }
  v->framerate = rate;
  v->time_base = av_inv_q(rate);
  v->width = s.Width + s.BorderLeft + s.BorderRight;
  v->height = s.Height + s.BorderTop + s.BorderBottom;
  v->sample_aspect_ratio = av_d2q(double(v->height) * s.Aspect / double(v->width), 255);
  v->pix_fmt = AV_PIX_FMT_YUV420P;
  if (vcodec->pix_fmts) {
    bool found = false;
    for (const AVPixelFormat* p = vcodec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) found |= *p == v->pix_fmt;
    if (!found) v->pix_fmt = vcodec->pix_fmts[0];
  }
  if (s.IntraOnly) {
    v->gop_size = 0;
    v->max_b_frames = 0;
  } else {
    v->gop_size = s.GopSize;
    v->max_b_frames = s.MaxBFrames;
    av_opt_set_int(v->priv_data, "b_strategy", 0, 0);
  }
  if (s.ClosedGop) {
    v->flags |= AV_CODEC_FLAG_CLOSED_GOP;
    av_opt_set_int(v->priv_data, "sc_threshold", 1000000000, 0);
  }
  if (s.StrictGop) av_opt_set(v->priv_data, "mpv_flags", "+strict_gop", 0);
  v->qmin = s.QMin;
  v->qmax = s.QMax;
  v->max_qdiff = s.MaxQDiff;
  v->mb_lmin = s.LambdaMin;
  v->mb_lmax = s.LambdaMax;
  av_opt_set_int(v->priv_data, "lmin", s.LambdaMin, 0);
  av_opt_set_int(v->priv_data, "lmax", s.LambdaMax, 0);
  v->qblur = s.QBlur;
  v->qcompress = s.QCompress;
  av_opt_set(v->priv_data, "rc_eq", s.RcEquation.c_str(), 0);
  v->b_quant_factor = s.BQuantFactor;
  v->b_quant_offset = s.BQuantOffset;
  v->i_quant_factor = s.IQuantFactor;
  v->i_quant_offset = s.IQuantOffset;
  av_opt_set_double(v->priv_data, "rc_buf_aggressivity", s.RcBufferAggressivity, 0);
  v->rc_buffer_size = s.VbvBufferSize;
  v->rc_initial_buffer_occupancy = s.VbvBufferSize * 3 / 4;
  av_opt_set(v->priv_data, "motion_est", "epzs", 0);
  v->intra_dc_precision = 0;  // 8 bits
  v->workaround_bugs = FF_BUG_AUTODETECT;
  int r = avcodec_open2(v, vcodec, nullptr);
  if (r < 0) {
    LogFmt(EVT_ERROR, "The video encoder could not be opened: %s", AvError(r));
    return false;
  }

  run.yuv.reset(av_frame_alloc());
  run.packet.reset(av_packet_alloc());
  if (!run.yuv || !run.packet) {
    Log(EVT_ERROR, "Out of memory");
    return false;
  }
  run.yuv->format = v->pix_fmt;
  run.yuv->width = v->width;
  run.yuv->height = v->height;
  if ((r = av_frame_get_buffer(run.yuv.get(), 0)) < 0) {
    LogFmt(EVT_ERROR, "Out of memory: %s", AvError(r));
    return false;
  }
  const int cw = CanvasWidth(), ch = CanvasHeight();
  if (!run.canvas.SetSize(cw, ch, 0xFF000000)) {
    LogFmt(EVT_ERROR, "Invalid canvas size %d x %d", cw, ch);
    return false;
  }
  run.scaler.reset(sws_getContext(cw, ch, AV_PIX_FMT_BGRA, v->width, v->height, v->pix_fmt, SWS_BICUBIC, nullptr,
                                  nullptr, nullptr));
  if (!run.scaler) {
    Log(EVT_ERROR, "The picture converter could not be created");
    return false;
  }

  // Audio, streams 1..n.
  if (!s.AudioDisabled) {
    for (int i = 1; i <= s.AudioStreams; ++i) {
      const AVCodec* acodec = avcodec_find_encoder(s.AudioCodec);
      if (!acodec) {
        LogFmt(EVT_ERROR, "No encoder for %s", std::string(avcodec_get_name(s.AudioCodec)));
        return false;
      }
      Run::Audio a;
      a.ctx.reset(avcodec_alloc_context3(acodec));
      if (!a.ctx) {
        LogFmt(EVT_ERROR, "Could not create audio stream #%d", i);
        return false;
      }
      AVCodecContext* c = a.ctx.get();
      c->bit_rate = s.AudioBitrate;
      c->sample_rate = s.SampleRate;
      c->time_base = AVRational{1, s.SampleRate};
      av_channel_layout_default(&c->ch_layout, s.Channels);
      c->sample_fmt = AV_SAMPLE_FMT_NONE;
      for (const AVSampleFormat* f = acodec->sample_fmts; f && *f != AV_SAMPLE_FMT_NONE; ++f)
        if (SupportedSampleFormat(*f)) {
          c->sample_fmt = *f;
          break;
        }
      if (c->sample_fmt == AV_SAMPLE_FMT_NONE) {
        LogFmt(EVT_ERROR, "Could not create audio stream #%d", i);
        return false;
      }
      if ((r = avcodec_open2(c, acodec, nullptr)) < 0) {
        LogFmt(EVT_ERROR, "The audio encoder could not be opened: %s", AvError(r));
        return false;
      }
      if (c->frame_size <= 0) {
        LogFmt(EVT_ERROR, "Could not create audio stream #%d", i);
        return false;
      }
      a.frame.reset(av_frame_alloc());
      if (!a.frame) {
        Log(EVT_ERROR, "Out of memory");
        return false;
      }
      a.frame->format = c->sample_fmt;
      a.frame->nb_samples = c->frame_size;
      if ((r = av_channel_layout_copy(&a.frame->ch_layout, &c->ch_layout)) < 0 ||
          (r = av_frame_get_buffer(a.frame.get(), 0)) < 0) {
        LogFmt(EVT_ERROR, "Out of memory: %s", AvError(r));
        return false;
      }
      a.frameTicks = int64_t(c->frame_size) * 1000000 / s.SampleRate * 9 / 100;
      a.samples.resize(size_t(c->frame_size) * size_t(s.Channels));
      run.audio.push_back(std::move(a));
    }
  }
  return true;
}

namespace {

// Copies one encoded packet out of FFmpeg's buffer.
std::vector<uint8_t> PacketBytes(const AVPacket* p) { return std::vector<uint8_t>(p->data, p->data + p->size); }

}  // namespace

bool TFFMpeg_encoder::Encode(uint16_t vobId) {
  const TEncoderSettings& s = settings_;
  const auto started = Clock::now();
  elapsed_ = videoShare_ = audioShare_ = 0;
  collection_->SetFrameRate(s.Pal ? 25 : 30);
  if (s.FrameCount <= 0) {
    Log(EVT_ERROR, "No frames to encode");
    return false;
  }
  Run run;
  if (!Prepare(run)) return false;
  collection_->FrameCount = uint32_t(std::clamp<int64_t>(s.FrameCount, 0, UINT32_MAX));
  run.vobId = vobId;
  run.cellId = 1;
  const int64_t fd = FrameDuration();
  const int spStreams = s.SubpictureStreams;

  // The multiplexer writes through the cluster, after what the file already holds.
  std::unique_ptr<TFileClusterRWStream> output;
  try {
    output = cluster_.OpenWrite();
  } catch (const std::exception& e) {
    LogFmt(EVT_ERROR, "%s: %s", cluster_.Item(0).FileName.string(), std::string(e.what()));
    return false;
  }
  TDvdMuxParams params;
  params.Standard = s.Pal ? "pal" : "ntsc";
  params.Collection = collection_;
  params.Output = output.get();
  params.TotalDurationUs = s.FrameCount * 1000000 * s.FrameRate.den / std::max(s.FrameRate.num, 1);
  params.Streams.push_back({MPK_VIDEO, s.VideoCodec, 0, {}});
  for (size_t i = 0; i < run.audio.size(); ++i) params.Streams.push_back({MPK_AUDIO, s.AudioCodec, s.Channels, {}});
  for (int i = 0; i < spStreams; ++i) {
    const auto& lang = s.SubpictureLanguages[size_t(i)];
    params.Streams.push_back({MPK_SUBPICTURE, AV_CODEC_ID_NONE, 0, lang[0] ? std::string(lang.data(), 2) : ""});
  }
  TDvdMux mux;
  mux.LogCallback = LogCallback;
  if (!mux.Open(params)) {
    LogFmt(EVT_ERROR, "%s: Invalid encoding parameters", cluster_.Item(0).FileName.string());
    return false;
  }

  if (OnStreamInfo) {
    int ax = 0, ay = 0;
    av_reduce(&ax, &ay, int64_t(std::lround(s.Aspect * 1000)), 1000, 100);
    OnStreamInfo(run.video->width, run.video->height, collection_->FrameRate, ax, ay);
  }

  // ---- emitting packets
  auto emit = [&](int stream, int64_t pts, int64_t dts, int64_t duration, std::vector<uint8_t> data,
                  const TMuxPacketDescriptor& d) -> bool {
    if (OnPacket) OnPacket(stream, pts, dts, duration, data, d);
    TMuxPacketIn in;
    in.Pts = pts;
    in.Dts = dts;
    in.Duration = duration;
    in.Data = data;
    in.StreamIndex = stream;
    in.Descriptor = &d;
    return mux.Write(in);
  };

  auto emitVideo = [&](const AVPacket* p, bool idsAllowed) -> bool {
    TMuxPacketDescriptor d;
    d.Kind = MPK_VIDEO;
    d.StreamId = 0xE0;
    uint16_t tref = 0;
    TPictureType type = PICT_NONE;
    if (!ReadPictureHeader(p->data, size_t(p->size), type, tref)) type = (p->flags & AV_PKT_FLAG_KEY) ? PICT_I : PICT_P;
    if (type == PICT_I && idsAllowed && (run.pendingVob || run.pendingCell)) {
      if (run.pendingVob) run.vobId = run.pendingVob;
      if (run.pendingCell) run.cellId = run.pendingCell;
      run.pendingVob = 0;
      run.pendingCell = 0;
    }
    const int64_t dts = run.videoEmitted * fd;
    // The encoder knows how far presentation trails decoding (reordering delay); an I
    // picture is presented at least one frame after it is decoded, as the VOBU times
    // assume.
    int64_t delay = (p->pts != AV_NOPTS_VALUE && p->dts != AV_NOPTS_VALUE) ? p->pts - p->dts : 1;
    if (type == PICT_I) delay = std::max<int64_t>(delay, 1);
    const int64_t pts = dts + std::max<int64_t>(delay, 0) * fd;
    d.PictureType = type;
    d.TemporalReference = uint8_t(tref);
    if (type == PICT_I) {
      d.GopTime = run.lastIDts < 0 ? 0 : dts - run.lastIDts;
      run.lastIDts = dts;
    }
    d.VobId = run.vobId;
    d.CellId = run.cellId;
    ++run.videoEmitted;
    return emit(0, pts, dts, fd, PacketBytes(p), d);
  };

  // Drains the video encoder's output; `idsAllowed` for the packets of the call that
  // brought new ids.
  auto receiveVideo = [&](bool idsAllowed) -> bool {
    for (bool first = true;; first = false) {
      const int r = avcodec_receive_packet(run.video.get(), run.packet.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
      if (r < 0) {
        LogFmt(EVT_ERROR, "Video encoding failed: %s", AvError(r));
        return false;
      }
      const bool ok = emitVideo(run.packet.get(), idsAllowed && first);
      av_packet_unref(run.packet.get());
      if (!ok) return false;
    }
  };

  auto receiveAudio = [&](int index) -> bool {
    Run::Audio& a = run.audio[size_t(index - 1)];
    for (;;) {
      const int r = avcodec_receive_packet(a.ctx.get(), run.packet.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
      if (r < 0) {
        LogFmt(EVT_ERROR, "Audio encoding failed: %s", AvError(r));
        return false;
      }
      TMuxPacketDescriptor d;
      d.Kind = MPK_AUDIO;
      d.StreamId = uint8_t(0x80 + (index - 1));
      d.VobId = run.vobId;
      d.CellId = run.cellId;
      const int64_t pts = a.emitted * a.frameTicks + fd;
      ++a.emitted;
      const bool ok = emit(index, pts, pts, a.frameTicks, PacketBytes(run.packet.get()), d);
      av_packet_unref(run.packet.get());
      if (!ok) return false;
    }
  };

  bool stop = false;
  bool ok = true;
  const int64_t total = s.FrameCount;
  while (ok && !stop && run.framesEncoded < total) {
    // Progress.
    if (OnProgress) {
      const int64_t k = run.framesEncoded;
      std::string text;
      if (k < 11) {
        text = SafeFormat("encoding frame %d / %d", k, total);
      } else {
        const double secs = std::chrono::duration<double>(Clock::now() - started).count();
        const double fps = secs > 0 ? double(k) / secs : 0;
        const double v = secs > 0 ? 100.0 * std::chrono::duration<double>(run.videoTime).count() / secs : 0;
        const double au = secs > 0 ? 100.0 * std::chrono::duration<double>(run.audioTime).count() / secs : 0;
        text = SafeFormat("encoding frame %d / %d - Fps %.2f - build time video %2.2f%%, audio %2.2f%%", k, total, fps,
                          v, au);
      }
      OnProgress(int32_t(std::min<int64_t>(k * 65536 / std::max<int64_t>(total, 1), INT32_MAX)), text);
    }

    // The stream furthest behind; video wins ties.
    int pick = 0;
    int64_t best = run.framesEncoded * fd;
    for (size_t i = 0; i < run.audio.size(); ++i)
      if (run.audio[i].fedTime < best) {
        best = run.audio[i].fedTime;
        pick = int(i) + 1;
      }

    if (pick > 0) {
      Run::Audio& a = run.audio[size_t(pick - 1)];
      std::fill(a.samples.begin(), a.samples.end(), int16_t(0));
      int bytes = int(a.samples.size() * sizeof(int16_t));
      if (OnAudio) {
        const auto t0 = Clock::now();
        OnAudio(pick, stop, a.samples.data(), bytes);
        run.audioTime += Clock::now() - t0;
      }
      int r = av_frame_make_writable(a.frame.get());
      if (r >= 0) {
        FillAudioFrame(a.frame.get(), a.samples.data(), a.ctx->frame_size, s.Channels);
        a.frame->pts = a.fedTime * s.SampleRate / 90000;
        r = avcodec_send_frame(a.ctx.get(), a.frame.get());
      }
      if (r < 0) {
        LogFmt(EVT_ERROR, "Audio encoding failed: %s", AvError(r));
        ok = false;
        break;
      }
      a.fedTime += a.frameTicks;
      ok = receiveAudio(pick);
      continue;
    }

    const int64_t k = run.framesEncoded;
    for (int sp = 0; sp < spStreams && OnSubpicture; ++sp) {
      TEncodedSubpicture unit;
      if (!OnSubpicture(k, sp, unit) || unit.Data.empty()) continue;
      TMuxPacketDescriptor d;
      d.Kind = MPK_SUBPICTURE;
      d.StreamId = uint8_t(0x20 + sp);
      d.VobId = run.vobId;
      d.CellId = run.cellId;
      d.Highlight = unit.Highlight;
      const int64_t pts = k * fd + fd;
      if (!emit(1 + int(run.audio.size()) + sp, pts, pts, (total - k) * fd, std::move(unit.Data), d)) {
        ok = false;
        break;
      }
    }
    if (!ok) break;

    uint8_t cell = run.cellId;
    uint16_t vob = run.vobId;
    {
      const auto t0 = Clock::now();
      if (OnFrame) OnFrame(k, stop, cell, vob, run.canvas, k * 1000000 * s.FrameRate.den / s.FrameRate.num);
      run.videoTime += Clock::now() - t0;
    }
    const bool newIds = cell != run.cellId || vob != run.vobId;
    if (newIds) {
      run.pendingCell = cell != run.cellId ? cell : 0;
      run.pendingVob = vob != run.vobId ? vob : 0;
    }
    if (run.canvas.Width() != CanvasWidth() || run.canvas.Height() != CanvasHeight()) {
      Log(EVT_ERROR, "The frame supplier changed the canvas size");
      ok = false;
      break;
    }
    // A still repeats one picture hundreds of times: converting it again would give
    // the same YUV picture, which the encoder takes as often as needed.
    const size_t bytes = size_t(run.canvas.Width()) * size_t(run.canvas.Height()) * sizeof(TColor32);
    const bool same = run.converted.Width() == run.canvas.Width() && run.converted.Height() == run.canvas.Height() &&
                      std::memcmp(run.converted.Bits(), run.canvas.Bits(), bytes) == 0;
    int r = same ? 0 : av_frame_make_writable(run.yuv.get());
    if (r >= 0) {
      if (!same) {
        const uint8_t* src[4] = {reinterpret_cast<const uint8_t*>(run.canvas.Bits()), nullptr, nullptr, nullptr};
        const int srcStride[4] = {run.canvas.Stride(), 0, 0, 0};
        sws_scale(run.scaler.get(), src, srcStride, 0, run.canvas.Height(), run.yuv->data, run.yuv->linesize);
        run.converted = run.canvas;
      }
      run.yuv->pts = k;
      r = avcodec_send_frame(run.video.get(), run.yuv.get());
    }
    if (r < 0) {
      LogFmt(EVT_ERROR, "Video encoding failed: %s", AvError(r));
      ok = false;
      break;
    }
    ++run.framesEncoded;
    ok = receiveVideo(newIds);
    // Ids not taken by an I picture of this call are dropped; the supplier repeats them.
    run.pendingCell = 0;
    run.pendingVob = 0;
  }

  // Flush the encoders, close the sequence, and let the multiplexer write what it holds.
  if (ok) {
    int r = avcodec_send_frame(run.video.get(), nullptr);
    ok = r >= 0 && receiveVideo(false);
    if (ok) {
      TMuxPacketDescriptor d;
      d.Kind = MPK_VIDEO;
      d.StreamId = 0xE0;
      d.VobId = run.vobId;
      d.CellId = run.cellId;
      const int64_t dts = run.videoEmitted * fd;
      ok = emit(0, dts, dts, 0, std::vector<uint8_t>{0x00, 0x00, 0x01, 0xB7}, d);
    }
    for (size_t i = 0; ok && i < run.audio.size(); ++i) {
      r = avcodec_send_frame(run.audio[i].ctx.get(), nullptr);
      ok = r >= 0 && receiveAudio(int(i) + 1);
    }
  }
  // Whatever happened, the multiplexer writes what it holds, so the file ends on a
  // whole VOBU; a failed run still reports false.
  if (!mux.Finish()) ok = false;
  if (!ok) LogFmt(EVT_ERROR, "%s: the encoding failed", cluster_.Item(0).FileName.string());

  const double secs = std::chrono::duration<double>(Clock::now() - started).count();
  elapsed_ = secs;
  if (secs > 0) {
    videoShare_ = std::chrono::duration<double>(run.videoTime).count() / secs;
    audioShare_ = std::chrono::duration<double>(run.audioTime).count() / secs;
  }
  return ok;
}

// ------------------------------------------------------------------ still

bool TStill_Encoder::Encode(const std::filesystem::path& file, std::shared_ptr<TVobuCollection> collection, bool pal,
                            bool widescreen) {
  if (!collection) return false;
  TFFMpeg_encoder encoder(collection->Palette, collection);
  encoder.LogCallback = LogCallback;
  encoder.ResetDefaults();
  encoder.SetScale(1.0);
  encoder.SetCanvasFromWidth(true);
  encoder.SetVideoBitrate(9000000);
  encoder.SetVideoStandard(pal ? "pal" : "ntsc");
  encoder.SetAspectRatio(widescreen ? 16.0 / 9.0 : 4.0 / 3.0);
  encoder.SetAudioDisabled(true);
  encoder.SetSubpictureStreamCount(0);
  encoder.SetIntraOnly(true);
  encoder.SetClosedGop(true);
  // Appended: the file keeps what is already in it.
  encoder.Cluster().AddFile(file, TFFMpeg_encoder::kMaxMenuVobSize);
  encoder.SetFrameCount(1);
  encoder.OnFrame = [this](int64_t, bool&, uint8_t&, uint16_t&, TBitmap32& canvas, int64_t) {
    canvas.Clear(0xFF000000);
    if (!Picture.Empty()) Picture.StretchTo(canvas, canvas.BoundsRect());
  };
  return encoder.Encode(uint16_t(collection->Cells.size() + 1));
}

}  // namespace vidoria
