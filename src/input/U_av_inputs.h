#pragma once
// Media input: one input file (or set of spanned files) opened through the FFmpeg
// libraries, and the title set that joins a DVD title's inputs, numbers their streams
// and hands their packets to the title loop in time order.

#include "app/U_LogConsts.h"
#include "input/U_AvUtils.h"
#include "input/U_FileFog.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vidoria {

class TClusterAvio;

// What Open finds out about a file's streams.
struct TInputFacts {
  std::vector<int> AudioStreams;     // stream indexes
  std::vector<int> SubtitleStreams;  // stream indexes
  int64_t TotalAudioBitrate = 0;     // bits per second; a missing rate counts 448000 (6 ch.) or 192000
  int VideoStreamCount = 0;
  int MainVideoStream = -1;  // the video stream with the largest picture; -1 for none
  bool HasVideo = false;
  int Width = 0;
  int Height = 0;
  AVPixelFormat PixelFormat = AV_PIX_FMT_NONE;
  AVRational SampleAspect{1, 1};
  double DisplayAspect = 0;
  AVRational FrameRate{0, 1};
  int64_t FrameDuration = 0;  // microseconds
};

class TAv_input_file : public TLoggingObject {
 public:
  explicit TAv_input_file(int decoderThreads = 1);
  ~TAv_input_file() override;
  TAv_input_file(const TAv_input_file&) = delete;
  TAv_input_file& operator=(const TAv_input_file&) = delete;

  // Set before Open; the first member names the file.
  TFileCluster Cluster;
  int DecoderThreads = 1;
  // Set by the title set: the title's n-th file with video is VOB id n.
  uint16_t VobId = 0;

  bool Open();
  void Close();
  bool IsOpen() const { return opened_; }

  // Opens a decoder for every stream once per open file and remembers the result.
  bool OpenDecoders();
  void CloseDecoders();
  // The decoder OpenDecoders opened for stream i, or none.
  AVCodecContext* Decoder(int i) const;
  // Decodes one packet of the main video stream for the preview. `picture` is YUV 4:2:0
  // and stays valid until the next call; none when no picture came out.
  bool DecodePicture(const AVPacket* packet, const AVFrame*& picture, bool& gotPicture);

  // Seeks backwards to the nearest key point before `microseconds`, counted from the
  // file's own start (a transport stream's clock rarely starts at 0).
  bool Seek(int64_t microseconds);
  // Reads the next packet; the library's result: < 0 at the end or on an error. A
  // packet of a stream that appeared after opening has stream_index >= StreamCount()
  // at the time of opening; callers bounds-check against StreamCount().
  int ReadPacket(AVPacket* packet);

  // Finds each stream's first times from the current position (see SyncOk), then
  // returns to the start position.
  bool AnalyseSync();
  bool SyncAnalysed() const { return syncAnalysed_; }
  bool SyncOk() const { return syncOk_; }

  using TScanProgress = std::function<void(int64_t durationSoFar, int64_t bytesRead, int64_t totalBytes)>;
  // Measures the duration by reading the main video stream's packets; an early stop
  // extrapolates from the bytes read. Returns to the start afterwards.
  int64_t ScanDuration(const TScanProgress& progress = {});
  // Asks a running scan (on another thread) to stop.
  void StopScan() { stopScan_ = true; }
  bool ScanComplete() const { return scanComplete_; }

  const TInputFacts& Facts() const { return facts_; }
  // Replaces the frame rate (the project may force one).
  void SetFrameRate(AVRational rate);
  float EstimatedFrameRate() const;

  int StreamCount() const;
  AVStream* Stream(int i) const;  // none for a bad index
  std::string StreamDescription(int i) const;
  std::string FormatName() const;
  AVFormatContext* Context() const { return format_.get(); }
  const std::filesystem::path& FileName() const;
  int LastError() const { return lastError_; }

  int64_t ContainerDuration() const { return containerDuration_; }
  int64_t UserDuration() const { return userDuration_; }
  // A negative value clears it.
  void SetUserDuration(int64_t microseconds) { userDuration_ = microseconds < 0 ? kNoTime : microseconds; }
  // The user duration when set, else the container's (0 when unknown).
  int64_t Duration() const;
  double DurationDays() const { return static_cast<double>(Duration()) / (1000000.0 * 60 * 60 * 24); }

  // Position (relative to the file's own start) to begin reading at; applied by Open.
  int64_t StartTime() const { return startTime_; }
  void SetStartTime(int64_t microseconds) { startTime_ = microseconds; }
  int64_t StartPts() const { return startPts_; }
  int64_t StartDts() const { return startDts_; }
  // Each stream's first times relative to the file's start (AnalyseSync); 0 when unknown.
  int64_t PtsOffset(int i) const;
  int64_t DtsOffset(int i) const;
  void SetPtsOffset(int i, int64_t microseconds);
  void SetDtsOffset(int i, int64_t microseconds);

  int64_t TotalBytes() const { return Cluster.TotalSize(); }
  int64_t BytesRead() const;

 private:
  bool ProbeFormat();
  void ClassifyStreams();
  void TakeVideo(int i, AVStream* st);
  void RewindToStart();
  void NotePacket(const AVPacket* packet);

  AvFormatInputPtr format_;
  std::unique_ptr<TClusterAvio> io_;
  const AVInputFormat* inputFormat_ = nullptr;
  int lastError_ = 0;
  int64_t packetEnd_ = -1;  // end of the last packet read, -1 when unknown
  bool opened_ = false;
  int decodersOpened_ = -1;  // -1 not tried, else the remembered result
  std::vector<AvCodecContextPtr> decoders_;
  AvFramePtr decoded_;
  AvFramePtr preview_;
  SwsContextPtr scaler_;

  TInputFacts facts_;
  int64_t containerDuration_ = kNoTime;
  int64_t userDuration_ = kNoTime;
  int64_t startTime_ = 0;
  int64_t seekPosition_ = 0;
  bool syncAnalysed_ = false;
  bool syncOk_ = false;
  int64_t startPts_ = kNoTime;
  int64_t startDts_ = kNoTime;
  std::vector<int64_t> ptsOffsets_;
  std::vector<int64_t> dtsOffsets_;
  std::atomic<bool> stopScan_{false};
  bool scanComplete_ = false;
};

// An external subtitle stream (a SubRip file, one language of a VobSub file) as the
// title set sees it. The subtitle readers implement it.
class TExternalSubtitleSource {
 public:
  virtual ~TExternalSubtitleSource() = default;
  // ISO 639 code of the stream's language (two or three letters), empty when unknown.
  virtual std::string Language() const = 0;
  // Start of the next event not yet delivered, microseconds; kNoTime when none is left.
  virtual int64_t NextEventTime() const = 0;
};

// DVD stream ids: video, the n-th audio and the n-th sub-picture stream of a title.
constexpr uint8_t kDvdVideoStreamId = 192;
constexpr uint8_t kDvdAudioStreamId = 0x80;
constexpr uint8_t kDvdSubtitleStreamId = 0x20;
constexpr int kMaxDvdAudioStreams = 8;
constexpr int kMaxDvdSubtitleStreams = 32;

// One elementary stream taking part in a build.
struct TAV_Input_Stream {
  TAv_input_file* InputFile = nullptr;  // the file it belongs or is bound to
  int IndexInTitleSet = 0;
  int FileIndex = 0;
  int StreamIndex = -1;            // in its file; -1 for an external subtitle stream
  // The library's stream, looked up each time: a file that is opened again (to rewind
  // exactly) gets new stream objects. None for an external subtitle stream.
  AVStream* MediaStream() const;
  AVMediaType Type = AVMEDIA_TYPE_UNKNOWN;
  std::shared_ptr<TExternalSubtitleSource> External;

  uint8_t DvdStreamId = 0;
  bool Discard = true;  // the build sets it from the project
  bool Decode = true;   // cleared when no decoder exists
  bool DecoderOpen = false;
  TAV_Input_Stream* Predecessor = nullptr;  // same type, previous joined file
  TAV_Input_Stream* Successor = nullptr;

  int64_t Delay = 0;      // microseconds; the user's, normalised by the title set
  int64_t GapOffset = 0;  // clock jumps removed by the title loop
  int64_t FirstTime = kNoTime;
  int64_t LastTime = kNoTime;
  int64_t CurrentTime = kNoTime;
  int64_t ExpectedTime = kNoTime;
  int64_t Duration = kNoTime;     // of the last packet
  int64_t DecodedTime = kNoTime;  // end of the audio decoded so far
  uint32_t PacketCount = 0;
  uint32_t DiscontinuityCount = 0;
  bool TimestampValid = false;
  bool DurationValid = false;
  std::string Language;  // two-letter code, empty when unknown
  bool Default = false;

  bool IsExternal() const { return External != nullptr; }

  // Moves the stream's clock on by one packet with decoding time `t` (microseconds,
  // kNoTime when the packet has none) and duration `packetDuration` (<= 0 when none).
  // Returns the time jump: how far the packet's time is from the stream's current time.
  // The stream's first time is its first valid timestamp; a timestamp that is not
  // later than every earlier one is ignored and the clock runs on, unless it lies more
  // than kClockJumpUs behind: then the source's clock was reset, and the step back is
  // returned as a (negative) jump for the caller to remove.
  int64_t AdvanceClock(int64_t t, int64_t packetDuration, int64_t defaultDuration);
  // Removes a clock jump from the stream's timeline.
  void RemoveGap(int64_t jump);
};

// A step in a stream's timestamps larger than this is a clock jump (recordings joined,
// a recorder's clock reset), not a gap in the content: it is taken out of the title.
constexpr int64_t kClockJumpUs = 30000000;

class Tav_titleset : public TLoggingObject {
 public:
  explicit Tav_titleset(int decoderThreads = 1) : decoderThreads_(decoderThreads) {}
  ~Tav_titleset() override;
  Tav_titleset(const Tav_titleset&) = delete;
  Tav_titleset& operator=(const Tav_titleset&) = delete;

  // Opens the cluster and adds its streams. A frame rate with both terms above 0
  // replaces the file's; `userDuration` kNoTime takes the container's. With a
  // predecessor, each stream is linked to the predecessor's first free stream of its type.
  TAv_input_file* AddFile(const TFileCluster& cluster, AVRational frameRate = {0, 0},
                          TAv_input_file* predecessor = nullptr, int64_t userDuration = kNoTime);
  // Appends the stream of an external subtitle file bound to `file`.
  TAV_Input_Stream* AddSubtitleStream(std::shared_ptr<TExternalSubtitleSource> source, TAv_input_file* file,
                                      bool discard, bool isDefault);

  // Delay of every stream = its delay + its start offset in its file, less the smallest
  // such value over the kept streams.
  void NormaliseDelays();
  // Numbers the kept streams; returns how many have no predecessor.
  int AssignStreamIds();
  // The next packet of the input furthest behind, or none when every input has ended.
  // `endOfInput` is set (with the stream chosen) when a file has just ended.
  TAV_Input_Stream* ReadPacket(AVPacket* packet, int64_t& timeJump, bool& endOfInput);

  int64_t Duration() const;
  int64_t InputBytes() const;
  int64_t BytesRead() const;
  int64_t AudioBitrate() const;
  int64_t AudioBytes() const;

  size_t FileCount() const { return files_.size(); }
  TAv_input_file& File(size_t i) { return *files_[i]; }
  size_t StreamCount() const { return streams_.size(); }
  TAV_Input_Stream& Stream(size_t i) { return *streams_[i]; }
  TAv_input_file* CurrentFile() const { return current_; }
  int VideoFileCount() const { return videoFiles_; }
  int VideoStreamCount() const { return videoCount_; }
  int AudioStreamCount() const { return audioCount_; }
  int SubtitleStreamCount() const { return subtitleCount_; }
  // Number n (id 0x20 + n) of the default subtitle stream; -1 for none.
  int DefaultSubtitle() const { return defaultSubtitle_; }

  double DisplayAspect() const { return displayAspect_; }
  double EstimatedFrameRate() const { return estFrameRate_; }
  AVRational FrameRate() const { return frameRate_; }
  int64_t StartTime() const { return startTime_; }

 private:
  void SelectStreams();
  TAV_Input_Stream* FindStream(TAv_input_file* file, int streamIndex);
  size_t IndexOf(const TAv_input_file* file) const;

  int decoderThreads_;
  std::vector<std::unique_ptr<TAv_input_file>> files_;
  std::vector<bool> finished_;
  std::vector<std::unique_ptr<TAV_Input_Stream>> streams_;
  TAv_input_file* current_ = nullptr;
  int videoFiles_ = 0;
  int videoCount_ = 0;
  int audioCount_ = 0;
  int subtitleCount_ = 0;
  int defaultSubtitle_ = -1;
  double displayAspect_ = 0;
  double estFrameRate_ = 0;
  AVRational frameRate_{0, 1};
  int64_t startTime_ = 0;
};

// The title sets of a job, in title order.
using Tav_titlesetList = std::vector<std::unique_ptr<Tav_titleset>>;

}  // namespace vidoria
