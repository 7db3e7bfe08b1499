#pragma once
// The program-stream encoder for menus and stills: its owner draws every frame on a
// 32-bit canvas (and may hand in audio samples and sub-picture units); the encoder
// converts and encodes them with DVD settings (MPEG-2 video, MPEG-1 layer II or AC-3
// audio) and passes every packet with its descriptor straight to the DVD multiplexer,
// which writes the VOB files of a file cluster and records VOBUs and cells in a
// TVobuCollection.
//
// Everything runs on the caller's thread. A failed encode or write ends the run with
// an error in the log and Encode returning false.

#include "app/U_LogConsts.h"
#include "common/U_DVDPalette.h"
#include "input/U_FileFog.h"
#include "mux/U_MuxPacket.h"
#include "platform/Bitmap32.h"

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/rational.h>
}

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vidoria {

class TVobuCollection;

// All options of a run, with the defaults ResetDefaults restores.
struct TEncoderSettings {
  AVCodecID VideoCodec = AV_CODEC_ID_MPEG2VIDEO;
  int Width = 720, Height = 576;
  int BorderTop = 0, BorderBottom = 0, BorderLeft = 0, BorderRight = 0;
  AVRational FrameRate{25, 1};
  double Aspect = 4.0 / 3.0;
  int GopSize = 12;
  bool IntraOnly = false;
  int MaxBFrames = 2;
  bool ClosedGop = false;
  bool StrictGop = true;
  int QMin = 1, QMax = 31, MaxQDiff = 3;
  int LambdaMin = 118, LambdaMax = 3658;
  float QBlur = 0.5f, QCompress = 0.5f;
  std::string RcEquation = "tex^qComp";
  float BQuantFactor = 1.25f, BQuantOffset = 1.25f;
  float IQuantFactor = -0.8f, IQuantOffset = 0.0f;
  float RcBufferAggressivity = 1.0f;
  int VbvBufferSize = 1835008;  // bits; starts 3/4 full
  int Threads = 1;
  int64_t VideoBitrate = 6000000, MaxRate = 0, MinRate = 0, BitrateTolerance = 0;

  AVCodecID AudioCodec = AV_CODEC_ID_MP2;
  int64_t AudioBitrate = 384000;
  int SampleRate = 48000, Channels = 2;
  int AudioStreams = 1;
  bool AudioDisabled = false;

  int SubpictureStreams = 0;
  std::vector<std::array<char, 2>> SubpictureLanguages;  // two letters or two zero bytes

  int64_t MuxRate = 10080000;
  int PacketSize = 2048;
  bool Pal = true;
  double Scale = 1.0;
  bool CanvasFromWidth = true;
  double PixelRatio = 1.0;
  int64_t FrameCount = 0;
  double DurationSeconds = 0;
};

// A built sub-picture unit for stream `n`, with the menu page whose buttons the
// navigation packs describe from it on (none for subtitles).
struct TEncodedSubpicture {
  std::vector<uint8_t> Data;
  std::shared_ptr<const TNavHighlight> Highlight;
};

class TFFMpeg_encoder : public TLoggingObject {
 public:
  static constexpr int64_t kMaxMenuVobSize = 1073709056;

  // Draws frame `index` into `canvas` (already sized CanvasWidth × CanvasHeight).
  // Setting `stop` ends the run; new cell / VOB ids take effect on the next I picture.
  using TFrameSupplier = std::function<void(int64_t index, bool& stop, uint8_t& cellId, uint16_t& vobId,
                                            TBitmap32& canvas, int64_t timeUs)>;
  // Asked once per video frame and sub-picture stream, before the frame is encoded.
  using TSubpictureSupplier = std::function<bool(int64_t index, int stream, TEncodedSubpicture& unit)>;
  // Fills `bytes` bytes (frame size × channels × 2) of interleaved signed 16-bit
  // samples for audio stream `stream` (1-based); may lower `bytes` (the rest is
  // silence). Without a supplier the audio is silent.
  using TAudioSupplier = std::function<void(int stream, bool& stop, int16_t* samples, int& bytes)>;
  // Encoded size, frame rate of the collection (25 or 30) and display aspect.
  using TStreamNotify = std::function<void(int width, int height, int fps, int aspectX, int aspectY)>;
  // Progress as a 16.16 fraction of the frames, and a status text.
  using TProgress = std::function<void(int32_t fraction, const std::string& text)>;
  // Sees every packet as it goes to the multiplexer (times in 90 kHz ticks).
  using TPacketObserver = std::function<void(int stream, int64_t pts, int64_t dts, int64_t duration,
                                             const std::vector<uint8_t>& data, const TMuxPacketDescriptor& d)>;

  // Without a collection the encoder makes its own (on `palette`); with one it uses it
  // and its palette.
  explicit TFFMpeg_encoder(std::shared_ptr<TDVDPalette> palette,
                           std::shared_ptr<TVobuCollection> collection = nullptr);
  ~TFFMpeg_encoder() override;
  TFFMpeg_encoder(const TFFMpeg_encoder&) = delete;
  TFFMpeg_encoder& operator=(const TFFMpeg_encoder&) = delete;

  void ResetDefaults();
  // "pal" or "ntsc" in any case; throws std::invalid_argument("Incorrect video standard
  // set") for any other word.
  void SetVideoStandard(std::string_view standard);
  void SetAspectRatio(double aspect);
  // Video gets what the audio streams leave of 9.1 Mbit/s, at most `requested`.
  void SetVideoBitrate(int64_t requested);
  void SetAudioStreamCount(int count);  // 0 counts as 1
  void SetAudioDisabled(bool disabled) { settings_.AudioDisabled = disabled; }
  void SetAudioCodec(AVCodecID codec, int64_t bitrate, int sampleRate, int channels);
  void SetSubpictureStreamCount(int count);
  void SetSubpictureLanguage(int stream, std::string_view code);
  void SetFrameCount(int64_t frames);
  void SetClosedGop(bool closed) { settings_.ClosedGop = closed; }
  void SetIntraOnly(bool intra) { settings_.IntraOnly = intra; }
  void SetScale(double scale) { settings_.Scale = scale; }
  void SetCanvasFromWidth(bool fromWidth) { settings_.CanvasFromWidth = fromWidth; }
  void SetPixelRatio(double ratio) { settings_.PixelRatio = ratio; }
  const TEncoderSettings& Settings() const { return settings_; }

  // The output: add the file(s) here before Encode.
  TFileCluster& Cluster() { return cluster_; }

  int CanvasWidth() const;
  int CanvasHeight() const;

  // Encodes the configured number of frames as VOB `vobId`, cell 1, appending to the
  // cluster. True when every frame was encoded and written.
  bool Encode(uint16_t vobId);

  std::shared_ptr<TVobuCollection> Collection() const { return collection_; }
  std::shared_ptr<TVobuCollection> DetachVobuCollection();

  TFrameSupplier OnFrame;
  TSubpictureSupplier OnSubpicture;
  TAudioSupplier OnAudio;
  TStreamNotify OnStreamInfo;
  TProgress OnProgress;
  TPacketObserver OnPacket;

  // Seconds spent in the last Encode, and the shares of it the suppliers took.
  double ElapsedSeconds() const { return elapsed_; }
  double VideoSupplierShare() const { return videoShare_; }
  double AudioSupplierShare() const { return audioShare_; }

  int64_t FrameDuration() const { return settings_.Pal ? 3600 : 3003; }

 private:
  struct Run;
  bool Prepare(Run& run);

  TEncoderSettings settings_;
  TFileCluster cluster_;
  std::shared_ptr<TDVDPalette> palette_;
  std::shared_ptr<TVobuCollection> collection_;
  double elapsed_ = 0, videoShare_ = 0, audioShare_ = 0;
};

// Appends one still picture (or black) as a VOB of its own to an existing VOB file.
class TStill_Encoder : public TLoggingObject {
 public:
  TBitmap32 Picture;  // empty: black

  // Encodes into `file` (appended) as the next VOB of `collection`.
  bool Encode(const std::filesystem::path& file, std::shared_ptr<TVobuCollection> collection, bool pal,
              bool widescreen);
};

// Picture coding type and temporal reference from the first picture header of an
// MPEG-1/2 video packet; false when there is none.
bool ReadPictureHeader(const uint8_t* data, size_t size, TPictureType& type, uint16_t& temporalReference);

}  // namespace vidoria
