#pragma once
// Ownership wrappers for the FFmpeg objects the input layer holds, and the small
// conversions every input unit needs (times, error texts, language codes).

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace vidoria {

// The media library's "no value" marker for times.
constexpr int64_t kNoTime = AV_NOPTS_VALUE;

struct AvFormatInputDeleter {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct AvCodecContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct AvPacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AvFrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct SwsContextDeleter {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

using AvFormatInputPtr = std::unique_ptr<AVFormatContext, AvFormatInputDeleter>;
using AvCodecContextPtr = std::unique_ptr<AVCodecContext, AvCodecContextDeleter>;
using AvPacketPtr = std::unique_ptr<AVPacket, AvPacketDeleter>;
using AvFramePtr = std::unique_ptr<AVFrame, AvFrameDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;

inline AvPacketPtr MakePacket() { return AvPacketPtr(av_packet_alloc()); }
inline AvFramePtr MakeFrame() { return AvFramePtr(av_frame_alloc()); }

// The library's text for an error code.
std::string AvErrorText(int code);

// Stream time (in `timeBase` units) to microseconds; kNoTime stays kNoTime.
int64_t ToMicroseconds(int64_t t, AVRational timeBase);
// Microseconds to stream time; kNoTime stays kNoTime.
int64_t FromMicroseconds(int64_t us, AVRational timeBase);

// "hh:nn:ss.zzz"; a negative or unknown time shows as "00:00:00.000".
std::string FormatHms(int64_t microseconds);

// A file name fit for the log and the screen: bytes that are not UTF-8 become U+FFFD.
// Linux file names are byte strings, so the name itself is never changed.
std::string DisplayName(const std::filesystem::path& file);

// ISO 639-2 (bibliographic or terminology) or ISO 639-1 code to the two-letter code of
// the language table; empty when unknown. Case is ignored.
std::string TwoLetterLanguage(std::string_view code);

struct TAudioPlan {
  bool copy = false;
  int64_t bitrate = 0;  // on the disc
  int channels = 2;     // of the encoded track
};
// Players accept AC-3 only at 48 kHz and up to 448 kb/s, and DTS at 48 kHz (its core
// alone is copied): those are copied at their own rate. Anything else becomes AC-3 at
// 448 kb/s above two channels, else 192 kb/s, with at most 5.1 channels (7.1 is mixed
// down). A mono AAC track is encoded as stereo.
TAudioPlan PlanAudio(AVCodecID codec, int64_t inputBitrate, int channels, int sampleRate);

}  // namespace vidoria
