#include "engine/U_TitleConversion.h"

#include "mux/U_VobuCollection.h"

#include "engine/U_HeaderSyncedFifo.h"
#include "engine/U_MediaRules.h"
#include "engine/U_VideoEncodeThread.h"
#include "engine/U_pulldown.h"
#include "platform/MessageFormat.h"

extern "C" {
#include <libavcodec/bsf.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <chrono>
#include <cmath>
#include <unordered_map>

namespace vidoria {

bool ParsePictureHeader(const uint8_t* d, size_t size, int& type, int& temporalReference) {
  for (size_t i = 0; i + 5 < size; ++i) {
    if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1 || d[i + 3] != 0x00) continue;
    temporalReference = (d[i + 4] << 2) | (d[i + 5] >> 6);
    type = (d[i + 5] >> 3) & 7;
    return true;
  }
  return false;
}

namespace {

struct SwrDeleter {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
struct FifoDeleter {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoDeleter>;
struct BsfDeleter {
  void operator()(AVBSFContext* b) const { av_bsf_free(&b); }
};

// A DTS core frame's size from its header (FSIZE, 14 bits after the first 46), 0 when
// the bytes are not a plausible header.
size_t DtsFrameSize(const uint8_t* h, size_t available) {
  if (available < 8) return 0;
  const uint64_t bits = (uint64_t{h[4]} << 24) | (uint64_t{h[5]} << 16) | (uint64_t{h[6]} << 8) | h[7];
  const size_t fsize = static_cast<size_t>((bits >> 4) & 0x3FFF) + 1;  // bits 46..59 of the frame
  return fsize >= 96 ? fsize : 0;
}

constexpr int kAudioRate = 48000;

// A bicubic scaler to the title's picture size that cuts each picture into slices for
// two threads: at DVD sizes scaling is a fifth of a title's work, and the one thread
// running it would otherwise leave a core idle.
SwsContextPtr MakeScaler(int srcW, int srcH, AVPixelFormat srcFormat, int dstW, int dstH) {
  SwsContextPtr sws(sws_alloc_context());
  if (!sws) return nullptr;
  SwsContext* c = sws.get();
  if (av_opt_set_int(c, "srcw", srcW, 0) < 0 || av_opt_set_int(c, "srch", srcH, 0) < 0 ||
      av_opt_set_int(c, "src_format", srcFormat, 0) < 0 || av_opt_set_int(c, "dstw", dstW, 0) < 0 ||
      av_opt_set_int(c, "dsth", dstH, 0) < 0 || av_opt_set_int(c, "dst_format", AV_PIX_FMT_YUV420P, 0) < 0 ||
      av_opt_set_int(c, "sws_flags", SWS_BICUBIC, 0) < 0 || av_opt_set_int(c, "threads", 2, 0) < 0)
    return nullptr;
  if (sws_init_context(c, nullptr, nullptr) < 0) return nullptr;
  return sws;
}

// One stream of the title as it goes onto the disc.
struct TOut {
  TAV_Input_Stream* in = nullptr;
  TMuxPacketKind kind = MPK_VIDEO;
  bool copy = false;
  int muxIndex = 0;
  AvCodecContextPtr dec, enc;
  // video
  SwsContextPtr sws;
  int swsW = 0, swsH = 0, swsFormat = -1;  // the source the scaler was made for
  AvFramePtr padded;
  AvFramePtr previous = MakeFrame();  // the last picture encoded, fitted
  int64_t gapFrom = INT64_MIN;        // raw time (from the first) of the first packet after the last jump
  int64_t gapOffsetBefore = 0;        // the stream's gap offset before that jump
  int64_t gapRemoved = 0;             // that jump as removed: > 0 forwards, < 0 backwards
  int64_t firstPicture = kNoTime;     // presentation time of the first decoded picture, µs
  int scaledW = 0, scaledH = 0;
  std::unique_ptr<TPulldown> pulldown;
  bool pulldownReady = false;
  std::unique_ptr<TVideoEncodeThread> encoder;  // owns `enc` while it runs; stops first
  // audio
  SwrPtr swr;
  FifoPtr fifo;
  int64_t syncOffset = 0;    // µs of silence still to insert (encoded), or the shift (copied)
  int64_t samplesEncoded = 0;
  int64_t packetsEncoded = 0;
  THeaderSyncedFifo dts;
  std::unique_ptr<AVBSFContext, BsfDeleter> dtsCore;
  int64_t dtsFrames = 0;
  int64_t gapThreshold = 0;
  int64_t bytes = 0;
  // sub-pictures
  std::shared_ptr<ISubPictureSource> subs;
};

}  // namespace

struct TTitleConversion::TRun {
  TTitleConversion& owner;
  const TTitleDecisions& d;
  TTitleContext& ctx;
  Tav_titleset& set;
  const TLoggingObject& log;
  std::unique_ptr<IMuxSink> sink;
  std::vector<TOut> outs;
  TOut* video = nullptr;

  AVRational outRate{25, 1};      // the rate pictures are encoded at
  int64_t frameUs = 40000;        // one encoded frame
  int64_t frame90 = 3600;         // one frame of the disc's rate (3600 or 3003)
  TPadding pad;
  int64_t framesEmitted = 0, duplicated = 0, dropped = 0;
  int64_t videoPackets = 0, lastICoded = 0, fieldsSinceI = 0;
  bool fieldsParityEven = true;
  int64_t maxSubEnd90 = 0;
  int64_t videoBytes = 0, videoDuration90 = 0;
  int64_t titleDiscontinuities = 0, rememberedJump = 0;
  std::unordered_map<const TAV_Input_Stream*, int64_t> packetDurations;  // of each stream's last packet
  uint8_t cellId = 1;
  bool anyData = false;
  bool failed = false;
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  AvPacketPtr pkt = MakePacket();
  AvFramePtr frame = MakeFrame();

  TRun(TTitleConversion& o, const TTitleDecisions& dec, TTitleContext& c)
      : owner(o), d(dec), ctx(c), set(*o.titleset_), log(c.log) {}

  bool Fail(int code) {
    owner.lastError_ = code;
    failed = true;
    return false;
  }

  uint16_t VobIdOf(const TOut& o) const {
    return o.in && o.in->InputFile && o.in->InputFile->VobId > 0 ? o.in->InputFile->VobId : 1;
  }

  bool Emit(TOut& o, const uint8_t* data, size_t size, int64_t pts, int64_t dts, int64_t duration,
            TMuxPacketDescriptor& desc) {
    desc.CellId = cellId;
    desc.VobId = VobIdOf(o);
    TMuxPacketIn p;
    p.Pts = pts;
    p.Dts = dts;
    p.Duration = duration;
    p.Data = std::span<const uint8_t>(data, size);
    p.StreamIndex = o.muxIndex;
    p.Descriptor = &desc;
    o.bytes += static_cast<int64_t>(size);
    anyData = true;
    if (!sink->Write(p)) return Fail(kMux);
    return true;
  }

  // ---- set-up -----------------------------------------------------------------------

  bool OpenVideoEncoder(TOut& o) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG2VIDEO);
    if (!codec) {
      log.Log(EVT_ERROR, "Output video stream can't be encoded");
      return Fail(kNoEncoder);
    }
    o.enc.reset(avcodec_alloc_context3(codec));
    AVCodecContext* e = o.enc.get();
    e->width = d.width;
    e->height = d.height;
    e->pix_fmt = AV_PIX_FMT_YUV420P;
    e->time_base = av_inv_q(outRate);
    e->framerate = outRate;
    e->sample_aspect_ratio = av_d2q(static_cast<double>(d.height) * d.display_aspect / d.width, 255);
    // An average equal to the maximum leaves the rate control no room (the encoder
    // warns that it will fail), so it stays a little below.
    e->bit_rate = std::min<int64_t>(d.rates.average, d.rates.maximum * 95 / 100);
    e->bit_rate_tolerance = static_cast<int>(std::min<int64_t>(d.rates.tolerance, INT32_MAX));
    e->rc_max_rate = d.rates.maximum;
    e->rc_min_rate = d.rates.minimum;
    e->rc_buffer_size = 1835008;
    e->rc_initial_buffer_occupancy = 1835008 * 3 / 4;
    e->gop_size = GopSize(outRate);
    e->keyint_min = e->gop_size;
    e->max_b_frames = d.max_b_frames;
    e->qmin = std::max(d.qmin, 1);
    e->qmax = 31;
    e->max_qdiff = 3;
    e->qblur = 0.5f;
    e->qcompress = 0.5f;
    e->b_quant_factor = 1.25f;
    e->b_quant_offset = 1.25f;
    e->i_quant_factor = -0.8f;
    e->i_quant_offset = 0.0f;
    e->thread_count = 2;  // slice threads: both cores encode
    av_opt_set(e->priv_data, "rc_eq", "tex^qComp", 0);
    av_opt_set(e, "motion_est", "epzs", AV_OPT_SEARCH_CHILDREN);
    av_opt_set_int(e, "lmin", int64_t{e->qmin} * 118, AV_OPT_SEARCH_CHILDREN);
    av_opt_set_int(e, "lmax", 3658, AV_OPT_SEARCH_CHILDREN);
    av_opt_set_int(e, "mblmin", int64_t{e->qmin} * 118, AV_OPT_SEARCH_CHILDREN);
    av_opt_set_int(e, "intra_dc_precision", 0, AV_OPT_SEARCH_CHILDREN);
    av_opt_set(e->priv_data, "seq_disp_ext", "never", 0);
    int r = avcodec_open2(e, codec, nullptr);
    if (r < 0) {
      log.LogFmt(EVT_ERROR,
                 "Error while opening encoder for stream #%d - maybe incorrect parameters such as bit_rate, frame_rate, "
                 "frame_rate_base, width or height",
                 o.in->IndexInTitleSet);
      log.LogFmt(EVT_ERROR, "%s", AvErrorText(r));
      return Fail(kEncoderOpen);
    }
    o.encoder = std::make_unique<TVideoEncodeThread>(e);
    log.LogFmt(EVT_INFO, "Output Stream#%d - %s", o.muxIndex, std::string(codec->long_name ? codec->long_name : "mpeg2"));
    return true;
  }

  bool SetUpVideoPath(TOut& o) {
    const TInputFacts& f = o.in->InputFile->Facts();
    const double sourceAspect = set.DisplayAspect() > 0 ? set.DisplayAspect() : f.DisplayAspect;
    pad = LetterboxBands(sourceAspect, d.display_aspect, d.width, d.height);
    if (pad.Any())
      log.LogFmt(EVT_INFO, "Padded source image : Left %d, Top %d, Right %d, Bottom %d", pad.left, pad.top, pad.right,
                 pad.bottom);
    o.scaledW = d.width - pad.left - pad.right;
    o.scaledH = d.height - pad.top - pad.bottom;
    o.padded = MakeFrame();
    o.padded->format = AV_PIX_FMT_YUV420P;
    o.padded->width = d.width;
    o.padded->height = d.height;
    if (av_frame_get_buffer(o.padded.get(), 32) < 0) {
      log.LogFmt(EVT_ERROR, "Cannot allocate YUV420P picture of size (%dx%d)", d.width, d.height);
      return Fail(kPicture);
    }
    FillBands(*o.padded, true);

    AVRational source{d.frame_rate.num, d.frame_rate.den};
    outRate = NearestMpeg2Rate(source);
    // A PAL disc plays 25 pictures a second: faster sources are brought down to 25 by
    // dropping pictures rather than encoded at an NTSC rate.
    if (d.pal && av_q2d(outRate) > 25.0) outRate = {25, 1};
    frameUs = av_rescale(1000000, outRate.den, outRate.num);
    const double target = d.pal ? 25.0 : 29.97;
    if (NeedsPulldown(outRate, d.pal, d.frame_rate.too_low)) {
      o.pulldown = std::make_unique<TPulldown>(target, av_q2d(outRate));
      log.LogFmt(EVT_INFO, "Video Stream #%d Pulldown : %.3f -> %.2f Fps", o.in->IndexInTitleSet, av_q2d(outRate), target);
    } else {
      log.LogFmt(EVT_INFO, "Video Stream #%d framerate : %.2f Fps (source %.2f Fps), no pulldown", o.in->IndexInTitleSet,
                 target, d.frame_rate.den ? double(d.frame_rate.num) / d.frame_rate.den : 0.0);
    }
    return true;
  }

  void FillBands(AVFrame& p, bool all) {
    auto fill = [&](int plane, int x, int y, int w, int h, uint8_t v) {
      for (int row = y; row < y + h; ++row) memset(p.data[plane] + row * p.linesize[plane] + x, v, static_cast<size_t>(w));
    };
    const int W = p.width, H = p.height;
    if (all) {
      fill(0, 0, 0, W, H, 16);
      fill(1, 0, 0, W / 2, H / 2, 128);
      fill(2, 0, 0, W / 2, H / 2, 128);
    }
  }

  bool OpenAudio(TOut& o) {
    AVCodecParameters* par = o.in->MediaStream()->codecpar;
    TAudioPlan plan = PlanAudio(par->codec_id, par->bit_rate, par->ch_layout.nb_channels, par->sample_rate);
    o.copy = plan.copy;
    o.gapThreshold = GapThreshold(par->codec_id);
    if (o.copy) {
      if (par->codec_id == AV_CODEC_ID_DTS && !OpenDtsCore(o)) return false;
      log.LogFmt(EVT_INFO, "Output Stream#%d - %s (Copy)", o.muxIndex, std::string(avcodec_get_name(par->codec_id)));
      return true;
    }
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AC3);
    if (!codec) {
      log.LogFmt(EVT_ERROR, "Unsupported encoder for output stream #%d", o.muxIndex);
      return Fail(kNoEncoder);
    }
    o.enc.reset(avcodec_alloc_context3(codec));
    AVCodecContext* e = o.enc.get();
    e->sample_fmt = AV_SAMPLE_FMT_FLTP;
    e->sample_rate = kAudioRate;
    av_channel_layout_default(&e->ch_layout, plan.channels);
    e->bit_rate = plan.bitrate;
    e->time_base = {1, kAudioRate};
    if (avcodec_open2(e, codec, nullptr) < 0) {
      log.LogFmt(EVT_ERROR,
                 "Error while opening encoder for stream #%d - maybe incorrect parameters such as bit_rate, frame_rate, "
                 "frame_rate_base, width or height",
                 o.muxIndex);
      return Fail(kEncoderOpen);
    }
    o.fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, plan.channels, kAudioRate));
    if (!o.fifo) {
      log.Log(EVT_ERROR, "audio fifo can't be initialized");
      return Fail(kAudioFifo);
    }
    log.LogFmt(EVT_INFO, "Output Stream#%d - %s", o.muxIndex, std::string(codec->long_name));
    return true;
  }

  // Players decode the DTS core; extensions (DTS-HD, XLL) are dropped on the way.
  bool OpenDtsCore(TOut& o) {
    const AVBitStreamFilter* f = av_bsf_get_by_name("dca_core");
    AVBSFContext* bsf = nullptr;
    if (!f || av_bsf_alloc(f, &bsf) < 0) return Fail(kNoMemory);
    o.dtsCore.reset(bsf);
    avcodec_parameters_copy(bsf->par_in, o.in->MediaStream()->codecpar);
    bsf->time_base_in = o.in->MediaStream()->time_base;
    if (av_bsf_init(bsf) < 0) return Fail(kNoMemory);
    static const uint8_t sync[] = {0x7F, 0xFE, 0x80, 0x01};
    o.dts.SetHeader(sync, 4, DtsFrameSize);
    return true;
  }

  bool OpenDecoder(TOut& o) {
    AVCodecParameters* par = o.in->MediaStream()->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) {
      log.LogFmt(EVT_WARNING, "Unsupported decoder (id=%s) for input stream #%d.%d, discarding stream",
                 std::string(avcodec_get_name(par->codec_id)), o.in->FileIndex, o.in->StreamIndex);
      return false;
    }
    o.dec.reset(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(o.dec.get(), par);
    o.dec->pkt_timebase = o.in->MediaStream()->time_base;
    o.dec->thread_count = 0;  // as many frame threads as cores, and one more
    if (avcodec_open2(o.dec.get(), codec, nullptr) < 0) {
      log.LogFmt(EVT_ERROR, "Error while opening decoder for stream #%d.%d", o.in->FileIndex, o.in->StreamIndex);
      failed = true;
      owner.lastError_ = kDecoderOpen;
      return false;
    }
    return true;
  }

  bool Prepare(TFileCluster& output) {
    // Only each file's main video stream (the largest picture) is kept.
    for (size_t i = 0; i < set.StreamCount(); ++i) {
      TAV_Input_Stream& s = set.Stream(i);
      if (s.Type != AVMEDIA_TYPE_VIDEO || !s.InputFile || s.StreamIndex == s.InputFile->Facts().MainVideoStream) continue;
      const AVStream* st = s.MediaStream();
      if (s.Discard) {
      } else if (st && (st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
        log.LogFmt(EVT_INFO, "Video stream #%d is a cover picture: not part of the title", s.IndexInTitleSet);
      } else {
        log.LogFmt(EVT_WARNING, "Discarding video stream #%d - I already have one video stream with bigger resolution",
                   s.IndexInTitleSet);
      }
      s.Discard = true;
    }
    set.NormaliseDelays();
    set.AssignStreamIds();

    outs.reserve(set.StreamCount());
    for (size_t i = 0; i < set.StreamCount(); ++i) {
      TAV_Input_Stream& s = set.Stream(i);
      if (s.Discard) continue;
      if (s.Type != AVMEDIA_TYPE_VIDEO && s.Type != AVMEDIA_TYPE_AUDIO &&
          !(s.Type == AVMEDIA_TYPE_SUBTITLE && s.IsExternal())) {
        log.LogFmt(EVT_WARNING, "Unknown input Stream #%d - Will be discarded", s.IndexInTitleSet);
        s.Discard = true;
        continue;
      }
      TOut o;
      o.in = &s;
      o.kind = s.Type == AVMEDIA_TYPE_VIDEO ? MPK_VIDEO : s.Type == AVMEDIA_TYPE_AUDIO ? MPK_AUDIO : MPK_SUBPICTURE;
      o.muxIndex = static_cast<int>(outs.size());
      outs.push_back(std::move(o));
    }
    for (auto& o : outs)
      if (o.kind == MPK_VIDEO) video = &o;
    if (!video) {
      log.Log(EVT_ERROR, "No decodable video stream found. Can't convert.");
      return Fail(kDecoderOpen);
    }

    TMuxOpenParams params;
    params.pal = d.pal;
    params.widescreen = d.widescreen;
    params.width = d.width;
    params.height = d.height;
    params.duration_us = set.Duration();
    params.output = &output;
    params.palette = owner.palette_;
    frame90 = d.pal ? 3600 : 3003;
    for (auto& o : outs) {
      if (o.kind == MPK_VIDEO) {
        if (!OpenDecoder(o)) {
          if (!failed) log.Log(EVT_ERROR, "No decodable video stream found. Can't convert.");
          return Fail(kDecoderOpen);
        }
        if (!SetUpVideoPath(o) || !OpenVideoEncoder(o)) return false;
        params.pulldown = o.pulldown != nullptr;
      } else if (o.kind == MPK_AUDIO) {
        if (!OpenAudio(o)) return false;
        if (!o.copy && !OpenDecoder(o)) {
          if (failed) return false;
          o.in->Discard = true;
          continue;
        }
        o.syncOffset = o.in->Delay;
      } else {
        o.subs = std::dynamic_pointer_cast<ISubPictureSource>(o.in->External);
        log.LogFmt(EVT_INFO, "Output Stream#%d - External subtitle (%s)", o.muxIndex, o.in->Language);
      }
      if (o.in->Delay != 0)
        log.LogFmt(EVT_INFO, "Stream #%d Sync. delay : %3.2f ms", o.in->IndexInTitleSet, o.in->Delay / 1000.0);
    }
    // Streams dropped while opening leave holes; renumber what goes to the multiplexer.
    int next = 0;
    for (auto& o : outs) {
      if (o.in->Discard) continue;
      o.muxIndex = next++;
      TMuxStreamInfo info;
      info.kind = o.kind;
      info.dvd_id = o.in->DvdStreamId;
      info.language = o.in->Language;
      if (o.kind == MPK_VIDEO) {
        info.codec = AV_CODEC_ID_MPEG2VIDEO;
      } else if (o.kind == MPK_AUDIO) {
        info.codec = o.copy ? o.in->MediaStream()->codecpar->codec_id : AV_CODEC_ID_AC3;
        info.channels = o.copy ? o.in->MediaStream()->codecpar->ch_layout.nb_channels : o.enc->ch_layout.nb_channels;
      }
      params.streams.push_back(info);
    }
    sink = owner.sinkFactory_();
    if (!sink || !sink->Open(params)) {
      log.Log(EVT_ERROR, "Could not write header for output file (incorrect codec paramters?)");
      return Fail(kHeader);
    }
    owner.chapters_.Renumber();
    cellId = static_cast<uint8_t>(std::clamp(owner.chapters_.Current().number, 1, 255));
    return true;
  }

  // ---- video --------------------------------------------------------------------------

  // Hands a picture to the encoder thread (nullptr: the end, which drains it) and
  // emits whatever it has encoded so far.
  bool EncodeVideo(TOut& o, AvFramePtr picture) {
    const bool end = !picture;
    o.encoder->Send(std::move(picture));
    std::vector<AvPacketPtr> ready;
    o.encoder->Take(ready, end);
    for (auto& p : ready)
      if (!EmitVideo(o, *p)) return false;
    return true;
  }

  bool EmitVideo(TOut& o, AVPacket& p) {
    if (av_packet_make_writable(&p) < 0) return Fail(kNoMemory);
    int type = 0, tref = 0;
    ParsePictureHeader(p.data, static_cast<size_t>(p.size), type, tref);
    const bool key = type == 1;
    int64_t pts, dts, duration;
    TMuxPacketDescriptor desc;
    desc.Kind = MPK_VIDEO;
    desc.StreamId = 0xE0;
    desc.PictureType = static_cast<TPictureType>(type >= 1 && type <= 3 ? type : 0);
    desc.TemporalReference = static_cast<uint8_t>(tref);
    if (o.pulldown) {
      if (!o.pulldownReady) {
        o.pulldown->InitPattern(true);
        o.pulldownReady = true;
      }
      o.pulldown->ProcessPicture(p.data, p.size);
      dts = o.pulldown->Dts();
      pts = o.pulldown->Pts();
      duration = o.pulldown->Duration();
      if (key) {
        fieldsParityEven = fieldsSinceI % 2 == 0;
        desc.GopTime = fieldsSinceI * o.pulldown->FrameDuration() / 2;
        fieldsSinceI = 0;
      }
      fieldsSinceI += o.pulldown->FieldsOfPicture();
    } else {
      const int64_t fd = av_rescale(90000, outRate.den, outRate.num);
      dts = videoPackets * fd;
      pts = (p.pts + 1) * fd;
      duration = fd;
      if (key) {
        desc.GopTime = (videoPackets - lastICoded) * fd;
        lastICoded = videoPackets;
        fieldsParityEven = true;
      }
    }
    if (key) {
      // Chapters change only at an I picture, never while a subtitle is still shown.
      if (fieldsParityEven && dts >= maxSubEnd90 && owner.chapters_.Advance(dts)) {
        TUserChapter& c = owner.chapters_.Current();
        c.actual_time = dts;
        cellId = static_cast<uint8_t>(std::clamp(c.number, 1, 255));
        log.LogFmt(EVT_INFO, "Chapter #%d start at %d:%d.%.3d", c.number, dts / 5400000, (dts / 90000) % 60,
                   (dts / 90) % 1000);
      }
    }
    ++videoPackets;
    if (!Emit(o, p.data, static_cast<size_t>(p.size), pts, dts, duration, desc)) return false;
    videoBytes += p.size;
    videoDuration90 += duration;
    if (!EmitDueSubtitles(pts + duration)) return false;
    if (key) ctx.progress(set.BytesRead());
    return true;
  }

  bool EmitDueSubtitles(int64_t until90) {
    for (auto& s : outs) {
      if (s.kind != MPK_SUBPICTURE || s.in->Discard || !s.subs) continue;
      ISubPictureSource::TUnit unit;
      while (s.subs->NextUnit(until90, d.pal, unit)) {
        if (unit.data.empty()) continue;
        TMuxPacketDescriptor desc;
        desc.Kind = MPK_SUBPICTURE;
        desc.StreamId = s.in->DvdStreamId;
        const int64_t pts = unit.pts90 + s.in->Delay * 9 / 100 + frame90;
        maxSubEnd90 = std::max(maxSubEnd90, pts + unit.duration90);
        if (!Emit(s, unit.data.data(), unit.data.size(), pts, pts, unit.duration90, desc)) return false;
      }
    }
    return true;
  }

  bool FitPicture(TOut& o, const AVFrame* in, AVFrame*& result) {
    // A picture of the right size still goes between its bands when there are any (a
    // 16:9 720x576 picture in a 4:3 title): passing it on would squeeze it.
    const bool asIs =
        !pad.Any() && in->width == d.width && in->height == d.height && in->format == AV_PIX_FMT_YUV420P;
    if (asIs) {
      result = const_cast<AVFrame*>(in);
      return true;
    }
    if (!o.sws || o.swsW != in->width || o.swsH != in->height || o.swsFormat != in->format) {
      o.sws = MakeScaler(in->width, in->height, static_cast<AVPixelFormat>(in->format), o.scaledW, o.scaledH);
      o.swsW = in->width;
      o.swsH = in->height;
      o.swsFormat = in->format;
    }
    if (!o.sws) {
      log.Log(EVT_WARNING, "pixel format conversion not handled");
      return false;
    }
    if (!av_frame_is_writable(o.padded.get())) {
      // The encoder thread still holds the last picture: start a new one rather than
      // copying it. Only the bands need painting; the scaler covers the rest.
      AvFramePtr fresh = MakeFrame();
      if (!fresh) return Fail(kNoMemory);
      fresh->format = AV_PIX_FMT_YUV420P;
      fresh->width = d.width;
      fresh->height = d.height;
      if (av_frame_get_buffer(fresh.get(), 32) < 0) return Fail(kNoMemory);
      if (pad.Any()) FillBands(*fresh, true);
      o.padded = std::move(fresh);
    }
    AVFrame* p = o.padded.get();
    // The scaler writes the picture between the bands: a view of the padded frame that
    // shares its buffers.
    AvFramePtr view = MakeFrame();
    if (!view || av_frame_ref(view.get(), p) < 0) return Fail(kNoMemory);
    view->data[0] += pad.top * p->linesize[0] + pad.left;
    view->data[1] += (pad.top / 2) * p->linesize[1] + pad.left / 2;
    view->data[2] += (pad.top / 2) * p->linesize[2] + pad.left / 2;
    view->width = o.scaledW;
    view->height = o.scaledH;
    const int r = sws_scale_frame(o.sws.get(), view.get(), in);
    if (r < 0) {
      log.LogFmt(EVT_ERROR, "Picture scaling failed: %s", AvErrorText(r));
      return Fail(kPicture);
    }
    result = p;
    return true;
  }

  bool OnVideoFrame(TOut& o, AVFrame* f) {
    int n = 1;
    const int64_t ts = f->best_effort_timestamp;
    if (ts != AV_NOPTS_VALUE && o.in->FirstTime != kNoTime) {
      const int64_t us = ToMicroseconds(ts, o.in->MediaStream()->time_base);
      // Picture times count from the first picture: the stream's delay already holds
      // where its pictures start, and the first packet's decoding time comes before its
      // first picture's by the reordering delay (a frame or two), which would be counted
      // twice and shift the whole picture by a frame.
      if (o.firstPicture == kNoTime) o.firstPicture = us;
      const int64_t raw = us - o.in->FirstTime;
      // A picture read before the last clock jump but decoded after it keeps the offset
      // of its own side of the jump, or it would seem the jump's length late and be
      // dropped (or early and repeated). Its side is the one whose times it is nearer:
      // the jump is over 30 s and the decoder holds a few pictures at most.
      const int64_t middle = o.gapFrom - o.gapRemoved / 2;
      const bool beforeJump = o.gapRemoved != 0 && (o.gapRemoved > 0 ? raw < middle : raw > middle);
      const int64_t t = us - o.firstPicture - (beforeJump ? o.gapOffsetBefore : o.in->GapOffset);
      const double drift = static_cast<double>(t + o.in->Delay) / static_cast<double>(frameUs) - framesEmitted;
      n = FrameRepeatCount(drift, duplicated, dropped, static_cast<int>(std::lround(av_q2d(outRate))));
    }
    if (n == 0) {
      ++dropped;
      return true;
    }
    if (n > 1) duplicated += n - 1;
    AVFrame* fitted = nullptr;
    if (!FitPicture(o, f, fitted)) return !failed;
    const int64_t packetsBefore = videoPackets;
    for (int k = 0; k < n; ++k) {
      // The frame periods a picture is ahead are made up with the picture before it,
      // which stays on screen until this one is due; a title's first picture stands in
      // for itself.
      const bool makeUp = k + 1 < n && o.previous->buf[0] != nullptr;
      AvFramePtr copy = MakeFrame();
      if (av_frame_ref(copy.get(), makeUp ? o.previous.get() : fitted) < 0) return Fail(kNoMemory);
      copy->pts = framesEmitted++;
      copy->pict_type = AV_PICTURE_TYPE_NONE;
      if (!EncodeVideo(o, std::move(copy))) return false;
    }
    av_frame_unref(o.previous.get());
    if (av_frame_ref(o.previous.get(), fitted) < 0) return Fail(kNoMemory);
    if (videoPackets > packetsBefore) {
      const double ms = std::max<double>(
          1.0, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
      const double fps = framesEmitted * 1000.0 / ms;
      const int64_t kbits = videoDuration90 > 0 ? videoBytes * 8 * 90 / videoDuration90 : 0;
      const std::string format = "Encoding frame %d - %.1f fps (%.2fx) - average video bitrate %d kbits/s";
      ctx.status(FormatMessage(TTextStorage::Lookup(format), format, framesEmitted, fps, fps / av_q2d(outRate), kbits));
    }
    return true;
  }

  // ---- audio --------------------------------------------------------------------------

  bool PushSilence(TOut& o, int64_t us) {
    int64_t samples = us * kAudioRate / 1000000;
    if (samples <= 0) return true;
    const int channels = o.enc->ch_layout.nb_channels;
    AvFramePtr silence = MakeFrame();
    while (samples > 0) {
      const int n = static_cast<int>(std::min<int64_t>(samples, 4096));
      av_frame_unref(silence.get());
      silence->format = AV_SAMPLE_FMT_FLTP;
      silence->nb_samples = n;
      av_channel_layout_copy(&silence->ch_layout, &o.enc->ch_layout);
      if (av_frame_get_buffer(silence.get(), 0) < 0) return Fail(kNoMemory);
      av_samples_set_silence(silence->extended_data, 0, n, channels, AV_SAMPLE_FMT_FLTP);
      if (av_audio_fifo_write(o.fifo.get(), reinterpret_cast<void**>(silence->extended_data), n) < n)
        return Fail(kAudioFifo);
      samples -= n;
    }
    return true;
  }

  bool DrainAudioFifo(TOut& o, bool flush) {
    const int frameSize = o.enc->frame_size;
    if (frameSize < 2) return true;
    while (av_audio_fifo_size(o.fifo.get()) >= frameSize || (flush && av_audio_fifo_size(o.fifo.get()) > 0)) {
      AvFramePtr f = MakeFrame();
      f->format = AV_SAMPLE_FMT_FLTP;
      f->nb_samples = frameSize;
      f->sample_rate = kAudioRate;
      av_channel_layout_copy(&f->ch_layout, &o.enc->ch_layout);
      if (av_frame_get_buffer(f.get(), 0) < 0) return Fail(kNoMemory);
      av_samples_set_silence(f->extended_data, 0, frameSize, f->ch_layout.nb_channels, AV_SAMPLE_FMT_FLTP);
      av_audio_fifo_read(o.fifo.get(), reinterpret_cast<void**>(f->extended_data), frameSize);
      f->pts = o.samplesEncoded;
      o.samplesEncoded += frameSize;
      if (!EncodeAudio(o, f.get())) return false;
    }
    return true;
  }

  bool EncodeAudio(TOut& o, AVFrame* f) {
    if (avcodec_send_frame(o.enc.get(), f) < 0) return true;
    for (;;) {
      AvPacketPtr out = MakePacket();
      int r = avcodec_receive_packet(o.enc.get(), out.get());
      if (r < 0) return true;
      TMuxPacketDescriptor desc;
      desc.Kind = MPK_AUDIO;
      desc.StreamId = o.in->DvdStreamId;
      // The encoder's own time: its first frame starts with its start-up padding, which
      // a player plays, so that frame begins the padding's length before the first sample
      // and the sound stays where the samples were.
      const int64_t frameSize = o.enc->frame_size;
      const int64_t samples =
          out->pts != AV_NOPTS_VALUE ? out->pts : o.packetsEncoded * frameSize - o.enc->initial_padding;
      ++o.packetsEncoded;
      const int64_t pts = av_rescale(samples, 90000, kAudioRate) + frame90;
      const int64_t dur = av_rescale(frameSize, 90000, kAudioRate);
      if (!Emit(o, out->data, static_cast<size_t>(out->size), pts, pts, dur, desc)) return false;
    }
  }

  bool OnAudioFrame(TOut& o, AVFrame* f) {
    if (f->sample_rate > 0) {
      const int64_t us = int64_t{f->nb_samples} * 1000000 / f->sample_rate;
      o.in->DecodedTime = (o.in->DecodedTime == kNoTime ? 0 : o.in->DecodedTime) + us;
    }
    if (o.syncOffset > 0) {
      if (!PushSilence(o, o.syncOffset)) return false;
      o.syncOffset = 0;
    }
    if (!o.swr) {
      SwrContext* s = nullptr;
      if (swr_alloc_set_opts2(&s, &o.enc->ch_layout, AV_SAMPLE_FMT_FLTP, kAudioRate, &f->ch_layout,
                              static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr) < 0 ||
          swr_init(s) < 0) {
        swr_free(&s);
        log.LogFmt(EVT_ERROR, "Cannot resample input audio %d channels, %d kb/s to output audio %d channels, %d kb/s",
                   f->ch_layout.nb_channels, f->sample_rate, o.enc->ch_layout.nb_channels, kAudioRate);
        return Fail(kResampler);
      }
      o.swr.reset(s);
    }
    const int maxOut = swr_get_out_samples(o.swr.get(), f->nb_samples);
    AvFramePtr res = MakeFrame();
    res->format = AV_SAMPLE_FMT_FLTP;
    res->nb_samples = std::max(maxOut, 1);
    av_channel_layout_copy(&res->ch_layout, &o.enc->ch_layout);
    if (av_frame_get_buffer(res.get(), 0) < 0) return Fail(kNoMemory);
    int got = swr_convert(o.swr.get(), res->extended_data, res->nb_samples,
                          const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
    if (got > 0 && av_audio_fifo_write(o.fifo.get(), reinterpret_cast<void**>(res->extended_data), got) < got)
      return Fail(kAudioFifo);
    return DrainAudioFifo(o, false);
  }

  // Before a packet is decoded: a gap between the audio decoded so far and the packet's
  // time larger than the codec's threshold becomes silence, so the track stays in step
  // with the picture. The silence goes before the packet's samples: measured after them
  // (expected minus decoded time, the same amount) it would land one packet late and the
  // packet's sound would play early, at the start of the gap.
  void AudioSync(TOut& o) {
    TAV_Input_Stream& s = *o.in;
    if (!s.TimestampValid || !s.DurationValid || o.gapThreshold <= 0 || s.DecodedTime == kNoTime) return;
    const int64_t gap = s.CurrentTime - s.DecodedTime;
    if (gap <= o.gapThreshold) return;
    log.LogFmt(EVT_INFO, "Stream #%d - Audio sync at %.2f ms: %.2f ms added", s.IndexInTitleSet, s.DecodedTime / 1000.0,
               gap / 1000.0);
    s.DecodedTime = s.CurrentTime;
    o.syncOffset += gap;
  }

  bool CopyAudio(TOut& o, AVPacket& p) {
    const AVCodecParameters* par = o.in->MediaStream()->codecpar;
    TMuxPacketDescriptor desc;
    desc.Kind = MPK_AUDIO;
    desc.StreamId = o.in->DvdStreamId;
    if (par->codec_id == AV_CODEC_ID_DTS) {
      if (av_bsf_send_packet(o.dtsCore.get(), &p) < 0) return true;
      AvPacketPtr core = MakePacket();
      while (av_bsf_receive_packet(o.dtsCore.get(), core.get()) == 0) {
        o.dts.Push(core->data, static_cast<size_t>(core->size));
        av_packet_unref(core.get());
      }
      return EmitDtsFrames(o, desc);
    }
    if (o.in->CurrentTime == kNoTime) return true;
    const int64_t pts = (o.in->CurrentTime + o.in->Delay) * 9 / 100 + frame90;
    const int64_t dur = p.duration > 0 ? ToMicroseconds(p.duration, o.in->MediaStream()->time_base) * 9 / 100 : 2880;
    return Emit(o, p.data, static_cast<size_t>(p.size), pts, pts, dur, desc);
  }

  // Every whole frame the re-cutter holds, each at its place on the frame clock.
  bool EmitDtsFrames(TOut& o, TMuxPacketDescriptor& desc) {
    std::vector<uint8_t> frameData;
    while (o.dts.Pop(frameData)) {
      const int64_t pts = o.in->Delay * 9 / 100 + 960 * o.dtsFrames++ + frame90;
      if (!Emit(o, frameData.data(), frameData.size(), pts, pts, 960, desc)) return false;
    }
    return true;
  }

  // ---- the loop -------------------------------------------------------------------------

  bool Decode(TOut& o, AVPacket* p) {
    if (o.kind == MPK_AUDIO && p) AudioSync(o);
    if (avcodec_send_packet(o.dec.get(), p) < 0) {
      if (p)
        log.LogFmt(EVT_WARNING, "Error while decoding stream #%d.%d", o.in->FileIndex, o.in->StreamIndex);
      return true;
    }
    for (;;) {
      av_frame_unref(frame.get());
      int r = avcodec_receive_frame(o.dec.get(), frame.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
      if (r < 0) {
        log.LogFmt(EVT_WARNING, "Error while decoding stream #%d.%d", o.in->FileIndex, o.in->StreamIndex);
        break;
      }
      if (o.kind == MPK_VIDEO ? !OnVideoFrame(o, frame.get()) : !OnAudioFrame(o, frame.get())) return false;
    }
    return true;
  }

  // `jump` runs from the stream's previous packet to this one; the previous packet's
  // `previousDuration` of it is no gap. Removing it too would put this packet on top of
  // the previous one: a stream would lose a packet's length at every jump, and since all
  // streams skip the length the first one measured, the others would drift by the
  // difference of their packet lengths.
  void Discontinuity(TAV_Input_Stream& s, int64_t jump, int64_t previousDuration) {
    if (s.Type == AVMEDIA_TYPE_SUBTITLE || std::llabs(jump) <= kClockJumpUs) return;
    if (previousDuration > 0) jump -= previousDuration;  // forwards or backwards alike
    ++s.DiscontinuityCount;
    if (s.DiscontinuityCount > titleDiscontinuities) {
      titleDiscontinuities = s.DiscontinuityCount;
      rememberedJump = jump;
      log.LogFmt(EVT_WARNING, "Discontinuity #%d in stream#%d: %S of gap. This is frequent from TV source (ADVs time)",
                 static_cast<int>(s.DiscontinuityCount), s.IndexInTitleSet, FormatHms(jump));
    } else {
      log.LogFmt(EVT_WARNING, "Discontinuity #%d in stream#%d: %S of gap, %.1f ms of gap delta",
                 static_cast<int>(s.DiscontinuityCount), s.IndexInTitleSet, FormatHms(jump),
                 (jump - rememberedJump) / 1000.0);
      jump = rememberedJump;
    }
    s.RemoveGap(jump);
  }

  // A file that ends well before the length its header announces was cut short (an
  // interrupted download or copy): the title holds what there is, and the user is told
  // why it is shorter.
  void WarnIfCut(TAv_input_file& file) {
    int64_t reached = 0;
    for (size_t i = 0; i < set.StreamCount(); ++i) {
      const TAV_Input_Stream& st = set.Stream(i);
      if (st.InputFile == &file && !st.IsExternal() && st.ExpectedTime != kNoTime)
        reached = std::max(reached, st.ExpectedTime + st.GapOffset);  // clock jumps are no loss
    }
    const int64_t announced = file.Duration();
    if (announced <= 0 || reached <= 0 || announced - reached < std::max<int64_t>(1000000, announced / 20)) return;
    log.LogFmt(EVT_WARNING, "Input file \"%s\" ends at %S of the %S it announces: it may be truncated. The title stops there.",
               DisplayName(file.FileName()), FormatHms(reached), FormatHms(announced));
  }

  TOut* OutFor(TAV_Input_Stream* s) {
    for (auto& o : outs)
      if (o.in == s && !o.in->Discard) return &o;
    return nullptr;
  }

  bool Loop() {
    for (;;) {
      if (!ctx.control.Poll()) return true;
      int64_t jump = 0;
      bool ended = false;
      TAV_Input_Stream* s = set.ReadPacket(pkt.get(), jump, ended);
      if (!s) return true;
      if (ended) {
        WarnIfCut(*s->InputFile);
        if (video && video->in->InputFile == s->InputFile && !FlushVideo()) return false;
        continue;
      }
      int64_t& previousDuration = packetDurations[s];
      const int64_t gapOffset = s->GapOffset;
      Discontinuity(*s, jump, previousDuration);
      previousDuration = s->Duration;
      TOut* o = OutFor(s);
      if (!o) continue;
      if (s->GapOffset != gapOffset) {
        o->gapOffsetBefore = gapOffset;
        o->gapRemoved = s->GapOffset - gapOffset;
        o->gapFrom = s->CurrentTime + s->GapOffset;  // the packet's own time from the first
      }
      bool ok = true;
      if (o->kind == MPK_AUDIO && o->copy) ok = CopyAudio(*o, *pkt);
      else if (o->dec) ok = Decode(*o, pkt.get());
      av_packet_unref(pkt.get());
      if (!ok) return false;
    }
  }

  bool videoFlushed = false;
  bool FlushVideo() {
    if (videoFlushed || !video) return true;
    videoFlushed = true;
    if (!Decode(*video, nullptr)) return false;
    if (!EncodeVideo(*video, nullptr)) return false;
    if (const int64_t refused = video->encoder->Refused(); refused > 0)
      log.LogFmt(EVT_WARNING, "%d pictures could not be encoded and are missing from the title", refused);
    // The encoder never ends the sequence itself.
    static const uint8_t kSequenceEnd[] = {0x00, 0x00, 0x01, 0xB7};
    TMuxPacketDescriptor desc;
    desc.Kind = MPK_VIDEO;
    desc.StreamId = 0xE0;
    const int64_t fd = video->pulldown ? video->pulldown->FrameDuration() : av_rescale(90000, outRate.den, outRate.num);
    // After the last picture: with pulldown the pictures last 2 or 3 fields each.
    const int64_t t = video->pulldown ? video->pulldown->FieldsEmitted() * fd / 2 : videoPackets * fd;
    return Emit(*video, kSequenceEnd, sizeof kSequenceEnd, t + fd, t, 0, desc);
  }

  bool Flush() {
    if (!FlushVideo()) return false;
    for (auto& o : outs) {
      if (o.kind == MPK_AUDIO && o.copy && o.dtsCore && !o.in->Discard) {
        av_bsf_send_packet(o.dtsCore.get(), nullptr);
        AvPacketPtr core = MakePacket();
        while (av_bsf_receive_packet(o.dtsCore.get(), core.get()) == 0) {
          o.dts.Push(core->data, static_cast<size_t>(core->size));
          av_packet_unref(core.get());
        }
        TMuxPacketDescriptor desc;
        desc.Kind = MPK_AUDIO;
        desc.StreamId = o.in->DvdStreamId;
        if (!EmitDtsFrames(o, desc)) return false;
      }
      if (o.kind != MPK_AUDIO || o.copy || o.in->Discard || !o.dec) continue;
      if (!Decode(o, nullptr)) return false;
      if (!DrainAudioFifo(o, true)) return false;
      if (!EncodeAudio(o, nullptr)) return false;
    }
    return true;
  }
};

TTitleConversion::TTitleConversion(std::unique_ptr<Tav_titleset> titleset, TUserChapterList chapters, TTitleFacts facts,
                                   TMuxSinkFactory sink)
    : titleset_(std::move(titleset)), chapters_(std::move(chapters)), facts_(std::move(facts)), sinkFactory_(std::move(sink)) {}

TTitleConversion::~TTitleConversion() = default;

void TTitleConversion::Close() { titleset_.reset(new Tav_titleset()); }

TTitleReport TTitleConversion::Convert(const TTitleDecisions& d, TFileCluster& output, TTitleContext& ctx) {
  TTitleReport report;
  lastError_ = kOk;
  TRun run(*this, d, ctx);
  run.outs.clear();
  if (!run.Prepare(output)) return report;
  bool ok = run.Loop() && (ctx.control.CancelRequested() || run.Flush());
  if (!run.sink->Finish()) ok = false;
  for (auto& o : run.outs)
    if (!o.in->Discard && o.bytes == 0 && o.kind != MPK_SUBPICTURE)
      ctx.log.LogFmt(EVT_WARNING, "Stream #%d has produced NO data (empty). Result may miss some stream(s).",
                     o.in->IndexInTitleSet);
  if (!run.anyData) {
    ctx.log.Log(EVT_ERROR, "The input file contains no image and no sound. Maybe the file is corrupted or unsupported.");
    lastError_ = kNoData;
    ok = false;
  }
  if (!ok || run.failed || ctx.control.CancelRequested()) return report;
  report.ok = true;
  report.bytes_written = output.TotalSize();
  report.audio_packs = run.sink->AudioPacks();
  report.frames_duplicated = run.duplicated;
  report.frames_dropped = run.dropped;
  report.vobus = run.sink->Collection();
  // The subtitle the user chose is switched on when the title starts.
  if (report.vobus && titleset_->DefaultSubtitle() >= 0)
    report.vobus->DefaultSubpictureStream = titleset_->DefaultSubtitle();
  return report;
}

}  // namespace vidoria
