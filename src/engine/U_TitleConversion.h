#pragma once
// One DVD title's conversion: read the title set's packets in time order, decode them,
// fit the pictures to the disc (bands, drop/duplicate, pulldown), encode MPEG-2 and
// AC-3 (or copy AC-3/DTS), keep the audio in sync, mark chapters, and hand every packet
// with its descriptor to the multiplexer.

#include "engine/U_UserChapters.h"
#include "common/U_DVDPalette.h"
#include "engine/U_av_convert_50.h"
#include "input/U_av_inputs.h"
#include "mux/U_MuxPacket.h"
#include "mux/U_PacketInterleaver.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vidoria {

// An external subtitle track as the title conversion needs it: sub-picture units ready
// for the disc, in time order.
class ISubPictureSource : public TExternalSubtitleSource {
 public:
  struct TUnit {
    std::vector<uint8_t> data;  // one sub-picture unit
    int64_t pts90 = 0;          // on the title's time line
    int64_t duration90 = 0;
  };
  // The next unit when it starts no later than `until90`; false when none is due.
  virtual bool NextUnit(int64_t until90, bool pal, TUnit& unit) = 0;
};

// What the multiplexer is told about each stream before the first packet.
struct TMuxStreamInfo {
  TMuxPacketKind kind = MPK_VIDEO;
  AVCodecID codec = AV_CODEC_ID_NONE;
  int channels = 2;
  std::string language;  // two-letter code or empty
  uint8_t dvd_id = 0;
};

struct TMuxOpenParams {
  bool pal = true;
  bool widescreen = false;
  bool pulldown = false;
  int64_t duration_us = 0;
  int width = 720, height = 576;
  std::vector<TMuxStreamInfo> streams;  // TMuxPacketIn::StreamIndex indexes this
  TFileCluster* output = nullptr;       // the title's VOB files, prepared and empty
  // The colours the title's sub-picture units refer to; none when it has no subtitles.
  // Shared: text subtitles still add colours while the title is written.
  std::shared_ptr<TDVDPalette> palette;
};

// The multiplexer as the title conversion sees it.
class IMuxSink {
 public:
  virtual ~IMuxSink() = default;
  virtual bool Open(const TMuxOpenParams& params) = 0;
  virtual bool Write(const TMuxPacketIn& packet) = 0;
  virtual bool Finish() = 0;
  // After Finish: what the IFO files need, and how many audio packs were written.
  virtual std::shared_ptr<TVobuCollection> Collection() = 0;
  virtual int64_t AudioPacks() const = 0;
};
using TMuxSinkFactory = std::function<std::unique_ptr<IMuxSink>()>;

class TTitleConversion : public IConversionTitle {
 public:
  // Error codes of a title that could not be converted.
  enum TError {
    kOk = 0,
    kNoMemory = 253,
    kAudioFifo = 252,
    kResampler = 251,
    kPicture = 250,
    kNoEncoder = 247,
    kEncoderOpen = 246,
    kDecoderOpen = 244,
    kHeader = 243,
    kNoData = 242,
    kMux = 241,
  };

  TTitleConversion(std::unique_ptr<Tav_titleset> titleset, TUserChapterList chapters, TTitleFacts facts,
                   TMuxSinkFactory sink);
  ~TTitleConversion() override;

  const TTitleFacts& Facts() const override { return facts_; }
  TTitleReport Convert(const TTitleDecisions& decisions, TFileCluster& output, TTitleContext& ctx) override;
  void Close() override;

  Tav_titleset& TitleSet() { return *titleset_; }
  // The palette of the title's sub-pictures, handed to the multiplexer.
  void SetSubtitlePalette(std::shared_ptr<TDVDPalette> palette) { palette_ = std::move(palette); }
  const std::shared_ptr<TDVDPalette>& SubtitlePalette() const { return palette_; }
  int LastError() const { return lastError_; }

 private:
  struct TRun;
  std::unique_ptr<Tav_titleset> titleset_;
  TUserChapterList chapters_;
  TTitleFacts facts_;
  TMuxSinkFactory sinkFactory_;
  std::shared_ptr<TDVDPalette> palette_;
  int lastError_ = kOk;
};

// Reads the picture coding type (1 I, 2 P, 3 B) and temporal reference of the first
// picture header in an MPEG-2 packet; false when there is none.
bool ParsePictureHeader(const uint8_t* data, size_t size, int& type, int& temporalReference);

}  // namespace vidoria
