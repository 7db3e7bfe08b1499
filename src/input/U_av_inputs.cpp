#include "input/U_av_inputs.h"

#include "input/U_ClusterAvio.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cctype>

namespace vidoria {

namespace {

constexpr int kProbeBytes = 262144;

std::string LowerAscii(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

uint32_t Code(int error) { return static_cast<uint32_t>(error); }

bool ValidRate(AVRational r) { return r.num > 0 && r.den > 0; }

}  // namespace

// ---- TAv_input_file ----------------------------------------------------------------

TAv_input_file::TAv_input_file(int decoderThreads) : DecoderThreads(decoderThreads) {}

TAv_input_file::~TAv_input_file() { Close(); }

const std::filesystem::path& TAv_input_file::FileName() const {
  static const std::filesystem::path kNone;
  return Cluster.Count() > 0 ? Cluster.Item(0).FileName : kNone;
}

void TAv_input_file::Close() {
  CloseDecoders();
  format_.reset();  // before the I/O context it reads through
  io_.reset();
  packetEnd_ = -1;
  inputFormat_ = nullptr;
  opened_ = false;
  decodersOpened_ = -1;
  facts_ = TInputFacts{};
  containerDuration_ = kNoTime;
}

bool TAv_input_file::ProbeFormat() {
  // An empty file has no format, whatever its name suggests.
  if (Cluster.TotalSize() == 0) return false;
  // A file named like a format ("mpeg", "dvd") names its format; anything else is
  // recognised by its first bytes, the name's extension breaking ties.
  inputFormat_ = av_find_input_format(LowerAscii(FileName().filename().string()).c_str());
  if (inputFormat_) return true;
  const AVInputFormat* found = nullptr;
  int r = av_probe_input_buffer2(io_->Context(), &found, FileName().c_str(), nullptr, 0, kProbeBytes);
  if (r < 0) lastError_ = r;
  inputFormat_ = found;
  return inputFormat_ != nullptr;
}

bool TAv_input_file::Open() {
  Close();
  syncAnalysed_ = syncOk_ = false;
  scanComplete_ = false;
  const std::string name = DisplayName(FileName());
  if (Cluster.Count() == 0) {
    Log(EVT_ERROR, "Cannot open an input file without a file name");
    return false;
  }
  std::string why;
  io_ = TClusterAvio::Open(Cluster, why);
  if (!io_) {
    std::filesystem::path changed;
    if (!Cluster.CheckUnchanged(changed))
      LogFmt(EVT_ERROR, "File \"%s\" missing or modified", DisplayName(changed));
    else
      LogFmt(EVT_ERROR, "Cannot open input file \"%s\": %s", name, why);
    return false;
  }
  if (!ProbeFormat()) {
    LogFmt(EVT_ERROR, "Cannot determine format of input file \"%s\"", name);
    Close();
    return false;
  }
  AVFormatContext* ctx = avformat_alloc_context();
  if (!ctx) {
    LogFmt(EVT_ERROR, "Cannot open input file \"%s\": %s", name, std::string("out of memory"));
    Close();
    return false;
  }
  ctx->pb = io_->Context();
  ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
  // Play lists and concatenation lists name further inputs; those may be local files
  // only, never network addresses.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  // The library frees the context when opening fails.
  lastError_ = avformat_open_input(&ctx, FileName().c_str(), inputFormat_, &options);
  av_dict_free(&options);
  if (lastError_ < 0) {
    LogFmt(EVT_ERROR, "[Code 0x%.8xh] - Cannot open input file \"%s\"", Code(lastError_), name);
    Close();
    return false;
  }
  format_.reset(ctx);
  if (Cluster.Count() > 1) {
    Log(EVT_INFO, "Cluster of files opened:");
    for (size_t i = 0; i < Cluster.Count(); ++i)
      LogFmt(EVT_INFO, "#%d - \"%s\"", static_cast<int>(i), DisplayName(Cluster.Item(i).FileName));
  }
  lastError_ = avformat_find_stream_info(ctx, nullptr);
  if (lastError_ < 0) {
    LogFmt(EVT_ERROR, "[Code 0x%.8xh] - \"%s\": Cannot find stream info", Code(lastError_), name);
    Close();
    return false;
  }
  containerDuration_ = ctx->duration;
  LogFmt(EVT_INFO, "Opening file \"%s\"", name);
  LogFmt(EVT_INFO, "%d Stream(s) found - est. duration %s", static_cast<int>(ctx->nb_streams),
         FormatHms(containerDuration_));
  ClassifyStreams();
  if (!facts_.HasVideo && facts_.AudioStreams.empty()) {
    LogFmt(EVT_ERROR, "\"%s\": no audio or video stream found", name);
    Close();
    return false;
  }
  opened_ = true;
  seekPosition_ = startTime_ + (ctx->start_time != kNoTime ? ctx->start_time : 0);
  // Reading begins at the first packet unless the caller asked for a later start.
  if (startTime_ != 0 && av_seek_frame(ctx, -1, seekPosition_, AVSEEK_FLAG_BACKWARD) < 0)
    LogFmt(EVT_WARNING, "%s: could not seek to position %0.3f sec.", name,
           static_cast<double>(seekPosition_) / AV_TIME_BASE);
  return true;
}

void TAv_input_file::ClassifyStreams() {
  AVFormatContext* ctx = format_.get();
  for (unsigned u = 0; u < ctx->nb_streams; ++u) {
    const int i = static_cast<int>(u);
    AVStream* st = ctx->streams[u];
    AVCodecParameters* par = st->codecpar;
    LogFmt(EVT_INFO, "Stream #%d - %s", i, StreamDescription(i));
    switch (par->codec_type) {
      case AVMEDIA_TYPE_VIDEO: {
        facts_.HasVideo = true;
        ++facts_.VideoStreamCount;
        // A cover picture (a single still stored as a video stream) is the film only
        // when the file has nothing else to show, however large it is.
        const bool cover = st->disposition & AV_DISPOSITION_ATTACHED_PIC;
        const bool mainIsCover = facts_.MainVideoStream >= 0 &&
                                 (ctx->streams[facts_.MainVideoStream]->disposition & AV_DISPOSITION_ATTACHED_PIC);
        const int64_t area = int64_t{par->width} * par->height;
        if (facts_.MainVideoStream < 0 || (mainIsCover && !cover) ||
            (cover == mainIsCover && area > int64_t{facts_.Width} * facts_.Height))
          TakeVideo(i, st);
        break;
      }
      case AVMEDIA_TYPE_AUDIO: {
        facts_.AudioStreams.push_back(i);
        if (par->ch_layout.nb_channels <= 0) {
          LogFmt(EVT_WARNING, "Stream #%d (audio): Cannot get # of channels, assuming 2", i);
          av_channel_layout_uninit(&par->ch_layout);
          av_channel_layout_default(&par->ch_layout, 2);
        }
        if (par->sample_rate <= 0) par->sample_rate = 48000;
        facts_.TotalAudioBitrate += par->bit_rate > 0 ? par->bit_rate : par->ch_layout.nb_channels > 2 ? 448000 : 192000;
        break;
      }
      case AVMEDIA_TYPE_SUBTITLE: facts_.SubtitleStreams.push_back(i); break;
      case AVMEDIA_TYPE_DATA:
        LogFmt(EVT_WARNING, "Stream #%d (data): skipped (codec type %d)", i, static_cast<int>(par->codec_type));
        break;
      default:
        LogFmt(EVT_WARNING, "Stream #%d (unknown): skipped (codec type %d)", i, static_cast<int>(par->codec_type));
        break;
    }
  }
}

void TAv_input_file::TakeVideo(int i, AVStream* st) {
  AVCodecParameters* par = st->codecpar;
  facts_.MainVideoStream = i;
  facts_.Width = par->width;
  facts_.Height = par->height;
  facts_.PixelFormat = static_cast<AVPixelFormat>(par->format);
  AVRational sar = av_guess_sample_aspect_ratio(format_.get(), st, nullptr);
  if (sar.den == 0) sar = {1, 1};
  facts_.SampleAspect = sar;
  double dar = facts_.Height > 0 ? av_q2d(sar) * facts_.Width / facts_.Height : 0;
  if (dar <= 0 && facts_.Height > 0) {
    if (par->codec_id == AV_CODEC_ID_MPEG2VIDEO && facts_.Width == 480) {
      // Half-D1 MPEG-2 without aspect data is meant for a 4:3 screen.
      AVRational r{1, 1};
      av_reduce(&r.num, &r.den, int64_t{facts_.Height} * 4, int64_t{facts_.Width} * 3, 1000);
      dar = static_cast<double>(facts_.Width) * r.num / r.den / facts_.Height;
    } else {
      dar = static_cast<double>(facts_.Width) / facts_.Height;
    }
  }
  facts_.DisplayAspect = dar;

  // The guess weighs the container's, the stream's and the codec's rates; the time
  // base is no frame rate (Matroska's is 1/1000).
  AVRational rate = av_guess_frame_rate(format_.get(), st, nullptr);
  if (!ValidRate(rate)) {
    LogFmt(EVT_WARNING, "Stream #%d (video): frame rate unknown, assuming 25 fps", i);
    rate = {25, 1};
  }
  AVRational codecRate = st->avg_frame_rate;
  if (ValidRate(codecRate) && av_cmp_q(rate, codecRate) != 0 && av_q2d(rate) < 23) {
    AVRational film{24000, 1001};
    LogFmt(EVT_INFO, "video stream comes from film source: %2.2f (%d/%d) -> %2.2f (%d/%d)", av_q2d(rate), rate.num,
           rate.den, av_q2d(film), film.num, film.den);
    rate = film;
  }
  SetFrameRate(rate);
}

void TAv_input_file::SetFrameRate(AVRational rate) {
  if (!ValidRate(rate)) return;
  facts_.FrameRate = rate;
  facts_.FrameDuration = av_rescale(1000000, rate.den, rate.num);
}

float TAv_input_file::EstimatedFrameRate() const {
  return facts_.FrameRate.den > 0 ? static_cast<float>(facts_.FrameRate.num) / facts_.FrameRate.den : 0.0f;
}

int TAv_input_file::StreamCount() const { return format_ ? static_cast<int>(format_->nb_streams) : 0; }

AVStream* TAv_input_file::Stream(int i) const {
  return (format_ && i >= 0 && i < static_cast<int>(format_->nb_streams)) ? format_->streams[i] : nullptr;
}

std::string TAv_input_file::StreamDescription(int i) const {
  AVStream* st = Stream(i);
  if (!st) return "Not a valid stream";
  AvCodecContextPtr c(avcodec_alloc_context3(nullptr));
  if (!c || avcodec_parameters_to_context(c.get(), st->codecpar) < 0) return "Not a valid stream";
  char buf[512] = {};
  avcodec_string(buf, sizeof buf, c.get(), 0);
  return buf;
}

std::string TAv_input_file::FormatName() const {
  const AVInputFormat* f = format_ ? format_->iformat : inputFormat_;
  return f ? f->name : "unknown";
}

int64_t TAv_input_file::Duration() const {
  if (userDuration_ != kNoTime) return userDuration_;
  return containerDuration_ != kNoTime ? containerDuration_ : 0;
}

int64_t TAv_input_file::PtsOffset(int i) const {
  return i >= 0 && static_cast<size_t>(i) < ptsOffsets_.size() ? ptsOffsets_[i] : 0;
}

int64_t TAv_input_file::DtsOffset(int i) const {
  return i >= 0 && static_cast<size_t>(i) < dtsOffsets_.size() ? dtsOffsets_[i] : 0;
}

void TAv_input_file::SetPtsOffset(int i, int64_t us) {
  if (i < 0) return;
  if (static_cast<size_t>(i) >= ptsOffsets_.size()) ptsOffsets_.resize(i + 1, 0);
  ptsOffsets_[i] = us;
}

void TAv_input_file::SetDtsOffset(int i, int64_t us) {
  if (i < 0) return;
  if (static_cast<size_t>(i) >= dtsOffsets_.size()) dtsOffsets_.resize(i + 1, 0);
  dtsOffsets_[i] = us;
}

int64_t TAv_input_file::BytesRead() const {
  if (!io_) return 0;
  // The demultiplexer reads ahead (the stream information alone buffers seconds of
  // packets), so the last packet's place tells the progress better than the stream.
  return packetEnd_ >= 0 ? std::min(packetEnd_, io_->Size()) : io_->Position();
}

void TAv_input_file::NotePacket(const AVPacket* packet) {
  if (packet->pos >= 0) packetEnd_ = packet->pos + packet->size;
}

int TAv_input_file::ReadPacket(AVPacket* packet) {
  if (!format_) return AVERROR(EINVAL);
  lastError_ = av_read_frame(format_.get(), packet);
  if (lastError_ >= 0) NotePacket(packet);
  else if (lastError_ == AVERROR_EOF) packetEnd_ = io_->Size();
  return lastError_;
}

bool TAv_input_file::Seek(int64_t us) {
  if (!format_) return false;
  int64_t target = us + (format_->start_time != kNoTime ? format_->start_time : 0);
  lastError_ = av_seek_frame(format_.get(), -1, target, AVSEEK_FLAG_BACKWARD);
  packetEnd_ = -1;
  if (lastError_ < 0) {
    LogFmt(EVT_WARNING, "%s: could not seek to position %0.3f", DisplayName(FileName()),
           static_cast<double>(us) / AV_TIME_BASE);
    return false;
  }
  for (auto& d : decoders_)
    if (d) avcodec_flush_buffers(d.get());
  return true;
}

void TAv_input_file::RewindToStart() {
  packetEnd_ = -1;
  // Back to the very start a seek is not exact: demuxers land on a key frame and may
  // skip the audio packets before it (Matroska loses the first one), and a seek to the
  // earliest time of a file whose clock steps back (two recordings joined) lands in
  // its second part. Opening the file again is exact, and so is the fallback for inputs
  // that cannot seek at all. Only a start the caller asked for is sought.
  if (startTime_ != 0 && format_ && av_seek_frame(format_.get(), -1, seekPosition_, AVSEEK_FLAG_BACKWARD) >= 0) {
    for (auto& d : decoders_)
      if (d) avcodec_flush_buffers(d.get());
    return;
  }
  // Open again, keeping what was measured.
  auto pts = ptsOffsets_, dts = dtsOffsets_;
  bool analysed = syncAnalysed_, ok = syncOk_, complete = scanComplete_;
  int64_t user = userDuration_;
  AVRational rate = facts_.FrameRate;
  Open();
  ptsOffsets_ = std::move(pts);
  dtsOffsets_ = std::move(dts);
  syncAnalysed_ = analysed;
  syncOk_ = ok;
  scanComplete_ = complete;
  userDuration_ = user;
  SetFrameRate(rate);
}

bool TAv_input_file::AnalyseSync() {
  if (!format_) return false;
  AVFormatContext* ctx = format_.get();
  // Streams that are neither audio nor video count as done from the start.
  auto initialCount = [&](unsigned i) {
    AVMediaType t = ctx->streams[i]->codecpar->codec_type;
    return (t == AVMEDIA_TYPE_AUDIO || t == AVMEDIA_TYPE_VIDEO) ? 0 : 12;
  };
  std::vector<int> counts;
  std::vector<int64_t> minPts, minDts;
  auto grow = [&]() {
    for (unsigned i = static_cast<unsigned>(counts.size()); i < ctx->nb_streams; ++i) {
      counts.push_back(initialCount(i));
      minPts.push_back(kNoTime);
      minDts.push_back(kNoTime);
    }
  };
  grow();
  auto lower = [](int64_t& m, int64_t t) {
    if (t != kNoTime && (m == kNoTime || t < m)) m = t;
  };

  bool ok = false;
  AvPacketPtr pkt = MakePacket();
  while (pkt) {
    if (std::all_of(counts.begin(), counts.end(), [](int c) { return c > 11; })) {
      ok = true;
      break;
    }
    if (av_read_frame(ctx, pkt.get()) < 0) break;
    const int idx = pkt->stream_index;
    grow();  // program and transport streams can reveal streams while being read
    if (idx >= 0 && static_cast<size_t>(idx) < counts.size()) {
      AVRational tb = ctx->streams[idx]->time_base;
      int64_t pts = ToMicroseconds(pkt->pts, tb);
      int64_t dts = ToMicroseconds(pkt->dts, tb);
      if (pts != kNoTime || dts != kNoTime) ++counts[idx];
      lower(minPts[idx], pts);
      lower(minDts[idx], dts);
    }
    av_packet_unref(pkt.get());
    if (idx >= 0 && static_cast<size_t>(idx) < counts.size() && counts[idx] >= 48) break;
  }

  startPts_ = startDts_ = kNoTime;
  for (size_t i = 0; i < counts.size(); ++i) {
    lower(startPts_, minPts[i]);
    lower(startDts_, minDts[i]);
  }
  ptsOffsets_.assign(counts.size(), 0);
  dtsOffsets_.assign(counts.size(), 0);
  for (size_t i = 0; i < counts.size(); ++i) {
    if (minPts[i] != kNoTime) ptsOffsets_[i] = minPts[i] - startPts_;
    if (minDts[i] != kNoTime) dtsOffsets_[i] = minDts[i] - startDts_;
  }
  syncAnalysed_ = true;
  syncOk_ = ok;
  RewindToStart();
  return ok;
}

int64_t TAv_input_file::ScanDuration(const TScanProgress& progress) {
  if (!format_) return 0;
  AVFormatContext* ctx = format_.get();
  // Without video the first audio stream measures the time.
  int measured = facts_.MainVideoStream >= 0 ? facts_.MainVideoStream
                 : facts_.AudioStreams.empty() ? -1 : facts_.AudioStreams.front();
  if (measured < 0) return 0;
  AVStream* st = ctx->streams[measured];
  stopScan_ = false;
  scanComplete_ = false;
  int64_t total = 0;
  AvPacketPtr pkt = MakePacket();
  bool complete = false;
  while (pkt && !stopScan_) {
    if (ReadPacket(pkt.get()) < 0) {
      complete = true;
      break;
    }
    if (pkt->stream_index == measured) {
      int64_t d = ToMicroseconds(pkt->duration, st->time_base);
      if (d <= 0 && measured == facts_.MainVideoStream) d = facts_.FrameDuration;
      if (d > 0) total += d;
      if (progress) progress(total, BytesRead(), TotalBytes());
    }
    av_packet_unref(pkt.get());
  }
  int64_t read = BytesRead();
  if (!complete && read > 0) total = av_rescale(total, TotalBytes(), read);
  RewindToStart();
  scanComplete_ = complete;
  return total;
}

bool TAv_input_file::OpenDecoders() {
  if (!format_) return false;
  if (decodersOpened_ >= 0) return decodersOpened_ != 0;
  AVFormatContext* ctx = format_.get();
  decoders_.clear();
  decoders_.resize(ctx->nb_streams);
  bool ok = true;
  for (unsigned u = 0; u < ctx->nb_streams; ++u) {
    AVStream* st = ctx->streams[u];
    AVMediaType type = st->codecpar->codec_type;
    if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_SUBTITLE) continue;
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) {
      LogFmt(EVT_WARNING, "Unsupported decoder (id=%d) for input stream #%d", static_cast<int>(st->codecpar->codec_id),
             static_cast<int>(u));
      continue;
    }
    AvCodecContextPtr dec(avcodec_alloc_context3(codec));
    int r = dec ? avcodec_parameters_to_context(dec.get(), st->codecpar) : AVERROR(ENOMEM);
    if (r >= 0) {
      dec->pkt_timebase = st->time_base;
      dec->thread_count = DecoderThreads;
      r = avcodec_open2(dec.get(), codec, nullptr);
    }
    if (r < 0) {
      LogFmt(EVT_ERROR, "[Code 0x%.8xh] - Decoder %s won't open", Code(r), std::string(codec->name));
      ok = false;
      continue;
    }
    decoders_[u] = std::move(dec);
  }
  decoded_ = MakeFrame();
  preview_ = MakeFrame();
  decodersOpened_ = ok ? 1 : 0;
  return ok;
}

void TAv_input_file::CloseDecoders() {
  decoders_.clear();
  decoded_.reset();
  preview_.reset();
  scaler_.reset();
  decodersOpened_ = -1;
}

AVCodecContext* TAv_input_file::Decoder(int i) const {
  return i >= 0 && static_cast<size_t>(i) < decoders_.size() ? decoders_[i].get() : nullptr;
}

bool TAv_input_file::DecodePicture(const AVPacket* packet, const AVFrame*& picture, bool& gotPicture) {
  picture = nullptr;
  gotPicture = false;
  if (!format_ || facts_.MainVideoStream < 0) return false;
  if (packet && packet->stream_index != facts_.MainVideoStream) return false;
  if (decodersOpened_ < 0) OpenDecoders();
  AVCodecContext* dec = Decoder(facts_.MainVideoStream);
  if (!dec || !decoded_ || !preview_) return false;

  int r = avcodec_send_packet(dec, packet);
  if (r == AVERROR(EAGAIN)) {
    // A picture is waiting: hand it out; the packet goes in once it has left.
    r = avcodec_receive_frame(dec, decoded_.get());
    if (r < 0) return false;
    if (avcodec_send_packet(dec, packet) < 0) return false;
  } else if (r < 0 && r != AVERROR_EOF) {
    return false;
  } else {
    r = avcodec_receive_frame(dec, decoded_.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
    if (r < 0) return false;
  }

  auto fmt = static_cast<AVPixelFormat>(decoded_->format);
  if (fmt == AV_PIX_FMT_YUV420P || fmt == AV_PIX_FMT_YUVJ420P) {
    picture = decoded_.get();
    gotPicture = true;
    return true;
  }
  const int w = decoded_->width, h = decoded_->height;
  scaler_.reset(sws_getCachedContext(scaler_.release(), w, h, fmt, w, h, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                     nullptr, nullptr));
  if (!scaler_) {
    Log(EVT_WARNING, "pixel format conversion not handled");
    return false;
  }
  if (preview_->width != w || preview_->height != h || preview_->format != AV_PIX_FMT_YUV420P) {
    av_frame_unref(preview_.get());
    preview_->format = AV_PIX_FMT_YUV420P;
    preview_->width = w;
    preview_->height = h;
    if (av_frame_get_buffer(preview_.get(), 0) < 0) return false;
  }
  if (av_frame_make_writable(preview_.get()) < 0) return false;
  sws_scale(scaler_.get(), decoded_->data, decoded_->linesize, 0, h, preview_->data, preview_->linesize);
  preview_->pts = decoded_->pts;
  preview_->best_effort_timestamp = decoded_->best_effort_timestamp;
  picture = preview_.get();
  gotPicture = true;
  return true;
}

// ---- TAV_Input_Stream --------------------------------------------------------------

AVStream* TAV_Input_Stream::MediaStream() const {
  return InputFile && StreamIndex >= 0 ? InputFile->Stream(StreamIndex) : nullptr;
}

int64_t TAV_Input_Stream::AdvanceClock(int64_t t, int64_t packetDuration, int64_t defaultDuration) {
  int64_t duration = defaultDuration;
  int64_t jump = 0;
  if (t == kNoTime) {
    CurrentTime = ExpectedTime;
    TimestampValid = false;
  } else {
    // The first valid timestamp fixes the stream's origin for good: re-basing on a
    // later, smaller one would replay times already delivered.
    if (FirstTime == kNoTime) FirstTime = t;
    const int64_t rel = t - FirstTime - GapOffset;
    // A time must be later than every earlier one and than the time the clock already
    // ran on to, or a stream whose timeline stepped back would deliver a time twice.
    TimestampValid = (LastTime == kNoTime || rel > LastTime) && (CurrentTime == kNoTime || rel > CurrentTime);
    const bool reset = !TimestampValid && CurrentTime != kNoTime && rel < CurrentTime - kClockJumpUs;
    if (TimestampValid || reset) {
      TimestampValid = true;
      jump = CurrentTime == kNoTime ? 0 : rel - CurrentTime;
      CurrentTime = rel;
      LastTime = rel;
      if (PacketCount > 0 && rel / PacketCount > 0) duration = rel / PacketCount;
    } else {
      CurrentTime = ExpectedTime;
    }
  }
  DurationValid = packetDuration > 0;
  if (DurationValid) duration = packetDuration;
  Duration = duration;
  ExpectedTime = CurrentTime == kNoTime ? kNoTime : CurrentTime + duration;
  ++PacketCount;
  return jump;
}

void TAV_Input_Stream::RemoveGap(int64_t jump) {
  GapOffset += jump;
  if (CurrentTime != kNoTime) CurrentTime -= jump;
  if (ExpectedTime != kNoTime) ExpectedTime -= jump;
  if (LastTime != kNoTime) LastTime -= jump;
}

// ---- Tav_titleset ------------------------------------------------------------------

Tav_titleset::~Tav_titleset() {
  // Streams point into the files; drop them first.
  streams_.clear();
  files_.clear();
}

size_t Tav_titleset::IndexOf(const TAv_input_file* file) const {
  for (size_t i = 0; i < files_.size(); ++i)
    if (files_[i].get() == file) return i;
  return files_.size();
}

TAv_input_file* Tav_titleset::AddFile(const TFileCluster& cluster, AVRational frameRate, TAv_input_file* predecessor,
                                      int64_t userDuration) {
  auto file = std::make_unique<TAv_input_file>(decoderThreads_);
  file->LogCallback = LogCallback;
  file->Cluster = cluster;
  if (!file->Open()) {
    LogFmt(EVT_ERROR, "Input file \"%s\" can't be opened", DisplayName(file->FileName()));
    return nullptr;
  }
  file->SetUserDuration(userDuration != kNoTime ? userDuration : file->ContainerDuration());
  if (frameRate.num > 0 && frameRate.den > 0) file->SetFrameRate(frameRate);
  const TInputFacts& f = file->Facts();
  if (f.HasVideo) {
    ++videoFiles_;
    file->VobId = static_cast<uint16_t>(videoFiles_);
    if (videoFiles_ == 1) {
      displayAspect_ = f.DisplayAspect;
      estFrameRate_ = file->EstimatedFrameRate();
      frameRate_ = f.FrameRate;
      startTime_ = file->StartTime();
    }
  }
  const int fileIndex = static_cast<int>(files_.size());
  for (int i = 0; i < file->StreamCount(); ++i) {
    auto s = std::make_unique<TAV_Input_Stream>();
    s->InputFile = file.get();
    s->FileIndex = fileIndex;
    s->IndexInTitleSet = static_cast<int>(streams_.size());
    s->StreamIndex = i;
    s->Type = s->MediaStream()->codecpar->codec_type;
    if (const AVDictionaryEntry* lang = av_dict_get(s->MediaStream()->metadata, "language", nullptr, 0))
      s->Language = TwoLetterLanguage(lang->value);
    s->Default = s->Type == AVMEDIA_TYPE_SUBTITLE && (s->MediaStream()->disposition & AV_DISPOSITION_DEFAULT);
    switch (s->Type) {
      case AVMEDIA_TYPE_VIDEO: ++videoCount_; break;
      case AVMEDIA_TYPE_AUDIO: ++audioCount_; break;
      case AVMEDIA_TYPE_SUBTITLE: ++subtitleCount_; break;
      default: break;
    }
    if (predecessor) {
      for (auto& p : streams_) {
        if (p->InputFile == predecessor && p->Type == s->Type && !p->Successor && !p->IsExternal()) {
          p->Successor = s.get();
          s->Predecessor = p.get();
          break;
        }
      }
      if (!s->Predecessor) Log(EVT_WARNING, "Added file has a stream that doesn't match its predecessor");
    }
    streams_.push_back(std::move(s));
  }
  current_ = file.get();
  files_.push_back(std::move(file));
  finished_.push_back(false);
  return current_;
}

TAV_Input_Stream* Tav_titleset::AddSubtitleStream(std::shared_ptr<TExternalSubtitleSource> source,
                                                  TAv_input_file* file, bool discard, bool isDefault) {
  if (!source) return nullptr;
  auto s = std::make_unique<TAV_Input_Stream>();
  s->InputFile = file;
  s->FileIndex = static_cast<int>(IndexOf(file));
  s->IndexInTitleSet = static_cast<int>(streams_.size());
  s->Type = AVMEDIA_TYPE_SUBTITLE;
  s->Language = TwoLetterLanguage(source->Language());
  s->External = std::move(source);
  s->Discard = discard;
  s->Default = isDefault;
  ++subtitleCount_;
  streams_.push_back(std::move(s));
  return streams_.back().get();
}

void Tav_titleset::SelectStreams() {
  // Subtitle streams inside the input files never reach the disc (sub-pictures come
  // from subtitle files), so they take neither an id nor a place in the output.
  for (auto& s : streams_) {
    if (!s->Discard && s->Type == AVMEDIA_TYPE_SUBTITLE && !s->IsExternal()) {
      s->Discard = true;
      LogFmt(EVT_INFO, "Subtitle stream #%d of \"%s\" is not used: DVD subtitles come from subtitle files",
             s->StreamIndex, DisplayName(s->InputFile->FileName()));
    }
  }
  // A DVD title has 8 audio and 32 sub-picture slots; a stream continuing one of a
  // previous part shares that part's slot.
  int audio = 0, subtitles = 0;
  for (auto& s : streams_) {
    if (s->Discard) continue;
    if (s->Predecessor && !s->Predecessor->Discard) continue;
    if (s->Type == AVMEDIA_TYPE_AUDIO && ++audio > kMaxDvdAudioStreams) {
      s->Discard = true;
      LogFmt(EVT_WARNING, "Audio stream #%d of \"%s\" dropped: a DVD title holds at most %d audio streams",
             s->StreamIndex, DisplayName(s->InputFile ? s->InputFile->FileName() : std::filesystem::path()),
             kMaxDvdAudioStreams);
    } else if (s->Type == AVMEDIA_TYPE_SUBTITLE && ++subtitles > kMaxDvdSubtitleStreams) {
      s->Discard = true;
      LogFmt(EVT_WARNING, "Subtitle stream #%d (%s) dropped: a DVD title holds at most %d subtitle streams",
             s->IndexInTitleSet, s->Language.empty() ? std::string("unknown language") : s->Language,
             kMaxDvdSubtitleStreams);
    }
  }
}

void Tav_titleset::NormaliseDelays() {
  SelectStreams();
  std::vector<int64_t> d(streams_.size());
  int64_t m = 0;
  bool any = false;
  for (size_t i = 0; i < streams_.size(); ++i) {
    const TAV_Input_Stream& s = *streams_[i];
    d[i] = s.Delay + (s.IsExternal() || !s.InputFile ? 0 : s.InputFile->PtsOffset(s.StreamIndex));
    // A discarded stream that starts early must not delay the others.
    if (!s.Discard && (!any || d[i] < m)) {
      m = d[i];
      any = true;
    }
  }
  for (size_t i = 0; i < streams_.size(); ++i) streams_[i]->Delay = d[i] - m;
}

int Tav_titleset::AssignStreamIds() {
  SelectStreams();
  int audio = 0, subtitles = 0, fresh = 0;
  defaultSubtitle_ = -1;
  for (auto& s : streams_) {
    if (s->Discard) continue;
    TAV_Input_Stream* p = s->Predecessor;
    const bool linked = p && !p->Discard && p->DvdStreamId != 0;
    if (!linked) ++fresh;
    switch (s->Type) {
      case AVMEDIA_TYPE_VIDEO: s->DvdStreamId = kDvdVideoStreamId; break;
      case AVMEDIA_TYPE_AUDIO:
        s->DvdStreamId = linked ? p->DvdStreamId : static_cast<uint8_t>(kDvdAudioStreamId + audio++);
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        if (linked) {
          s->DvdStreamId = p->DvdStreamId;
        } else {
          if (s->Default && defaultSubtitle_ < 0) defaultSubtitle_ = subtitles;
          s->DvdStreamId = static_cast<uint8_t>(kDvdSubtitleStreamId + subtitles++);
        }
        break;
      default: break;
    }
  }
  return fresh;
}

TAV_Input_Stream* Tav_titleset::FindStream(TAv_input_file* file, int streamIndex) {
  for (auto& s : streams_)
    if (s->InputFile == file && !s->IsExternal() && s->StreamIndex == streamIndex) return s.get();
  return nullptr;
}

TAV_Input_Stream* Tav_titleset::ReadPacket(AVPacket* packet, int64_t& timeJump, bool& endOfInput) {
  timeJump = 0;
  endOfInput = false;
  for (;;) {
    TAV_Input_Stream* chosen = nullptr;
    for (auto& s : streams_) {
      if (s->Type == AVMEDIA_TYPE_SUBTITLE || !s->InputFile) continue;
      if (finished_[s->FileIndex]) continue;
      // A later part waits until the part it continues has ended.
      if (s->Predecessor && !finished_[s->Predecessor->FileIndex]) break;
      if (!chosen || s->ExpectedTime < chosen->ExpectedTime) chosen = s.get();
    }
    if (!chosen) return nullptr;

    TAv_input_file* file = chosen->InputFile;
    av_packet_unref(packet);
    int r = file->ReadPacket(packet);
    if (r < 0) {
      if (r != AVERROR_EOF)
        LogFmt(EVT_WARNING, "[Code 0x%.8xh] - \"%s\": reading stopped (%s)", static_cast<uint32_t>(r),
               DisplayName(file->FileName()), AvErrorText(r));
      finished_[chosen->FileIndex] = true;
      endOfInput = true;
      return chosen;
    }
    TAV_Input_Stream* s = FindStream(file, packet->stream_index);
    if (!s) {
      // A stream that appeared while reading was never set up for the build.
      av_packet_unref(packet);
      continue;
    }
    AVRational tb = s->MediaStream()->time_base;
    int64_t defaultDuration = s->Type == AVMEDIA_TYPE_AUDIO ? 32000 : file->Facts().FrameDuration;
    int64_t t = packet->dts != kNoTime ? packet->dts : packet->pts;
    int64_t jump = s->AdvanceClock(ToMicroseconds(t, tb), packet->duration > 0 ? ToMicroseconds(packet->duration, tb) : 0,
                                   defaultDuration);
    if (s->Discard) {
      av_packet_unref(packet);
      continue;
    }
    timeJump = jump;
    return s;
  }
}

int64_t Tav_titleset::Duration() const {
  int64_t total = 0;
  for (const auto& f : files_)
    if (f->Facts().HasVideo) total += f->Duration();
  return total;
}

int64_t Tav_titleset::InputBytes() const {
  int64_t total = 0;
  for (const auto& f : files_) total += f->TotalBytes();
  return total;
}

int64_t Tav_titleset::BytesRead() const {
  int64_t total = 0;
  for (const auto& f : files_) total += f->BytesRead();
  return total;
}

namespace {
// The rate an audio stream takes on the disc, copied or encoded.
int64_t DiscAudioBitrate(const AVCodecParameters* par) {
  return PlanAudio(par->codec_id, par->bit_rate, par->ch_layout.nb_channels, par->sample_rate).bitrate;
}
}  // namespace

int64_t Tav_titleset::AudioBitrate() const {
  // A stream that continues one of a previous part plays after it, not beside it; a
  // discarded track takes no room at all.
  int64_t total = 0;
  for (const auto& s : streams_)
    if (s->Type == AVMEDIA_TYPE_AUDIO && s->MediaStream() && !s->Predecessor && !s->Discard)
      total += DiscAudioBitrate(s->MediaStream()->codecpar);
  return total;
}

int64_t Tav_titleset::AudioBytes() const {
  int64_t bits = 0;
  for (const auto& s : streams_) {
    if (s->Type != AVMEDIA_TYPE_AUDIO || !s->MediaStream() || !s->InputFile || s->Discard) continue;
    bits += s->InputFile->Duration() / 1000 * DiscAudioBitrate(s->MediaStream()->codecpar) / 1000;
  }
  return bits / 8;
}

}  // namespace vidoria
