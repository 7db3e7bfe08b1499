#pragma once
// dvd_mux: turns the encoded packets of one title (or menu run) into DVD VOB files.
//
// Packets go through the interleaver, which releases them one VOBU span at a time.
// Each span becomes a VOBU: a navigation pack, then 2048-byte packs of video, audio
// and sub-picture data whose system clock references follow a model of the player's
// video buffer. Finished VOBUs are written through the file cluster (which cuts the
// VOB files) and recorded, with their cells, in the title's TVobuCollection.
//
// Time: packets carry 90 kHz times on the title's time line. Every time stamp written
// (and the SCR) is time + presentation offset - VOB base, so each VOB starts near 0
// whatever times its packets have.

#include "app/U_LogConsts.h"
#include "input/U_FileFog.h"
#include "mux/U_MuxPacket.h"
#include "mux/U_NavPack.h"
#include "mux/U_PacketInterleaver.h"
#include "mux/U_VobuCollection.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vidoria {

// One output stream, by stream index.
// Audio streams are numbered in their order here: the n-th audio stream's packets
// carry DVD stream ids whose low three bits are n.
struct TDvdMuxStream {
  TMuxPacketKind Kind = MPK_VIDEO;
  AVCodecID Codec = AV_CODEC_ID_NONE;  // audio: MP2 (or another MPEG-1 audio), AC-3 or DTS
  int Channels = 2;
  std::string Language;  // audio and sub-pictures: two-letter code, or empty
};

struct TDvdMuxParams {
  std::string Standard = "pal";  // "ntsc": 29.97 frames per second; anything else 25
  std::shared_ptr<TVobuCollection> Collection;  // required; filled by the run
  TFileClusterRWStream* Output = nullptr;       // required; not owned
  // Folder of the temporary file for packets beyond the memory budget; empty: the
  // folder of the output's first file.
  std::filesystem::path TempFolder;
  int64_t MemoryBudget = TAvPacketInterleaver::kDefaultMemoryBudget;
  int64_t TotalDurationUs = 0;  // the run's duration, for the navigation packs
  std::vector<TDvdMuxStream> Streams;
};

class TDvdMux : public TLoggingObject {
 public:
  static constexpr int64_t kMaxAudioPacket = 4096;
  static constexpr int64_t kMaxAc3Frame = 3840;
  static constexpr size_t kDtsFrameSmall = 1006;
  static constexpr size_t kDtsFrameLarge = 2013;
  static constexpr size_t kMaxSubPictureUnit = 53220;  // the player's sub-picture buffer

  TDvdMux();
  ~TDvdMux() override;

  // Checks the parameters and the output (whose size must be whole sectors: the first
  // VOBU continues the numbering after it). False, logged, when the run cannot start.
  bool Open(const TDvdMuxParams& params);
  // One packet with 90 kHz times and its descriptor. Video packets are whole pictures
  // (a 4-byte packet is a sequence end code); audio packets whole frames (AC-3 packets
  // begin with a sync word, DTS frames are 1006 or 2013 bytes); a sub-picture packet is
  // one unit whose duration is its display time. False, logged, when the run fails;
  // every later call then fails too.
  bool Write(const TMuxPacketIn& packet);
  // Writes everything still held and closes the last cell.
  bool Finish();

  bool Failed() const { return failed_; }
  int FrameDuration() const { return frameDuration_; }

 private:
  struct TStart {  // a picture or audio frame beginning in a stream's queue
    size_t Offset = 0;
    int64_t Pts = 0, Dts = 0;  // already rebased
    int Picture = -1;          // video: index in the VOBU's picture list
  };
  struct TStreamState {
    bool Seen = false;
    TMuxPacketKind Kind = MPK_VIDEO;
    AVCodecID Codec = AV_CODEC_ID_NONE;
    unsigned Slot = 0;
    std::deque<uint8_t> Queue;  // bytes not yet in a pack; a large picture passes through
    std::deque<TStart> Starts;
    int64_t CurrentDts = 0;  // of the data at the head of the queue
    int CurrentPicture = -1;
    bool PstdDone = false;   // the P-STD extension went out in this VOB
  };
  struct TPictureRecord {
    TPictureType Type = PICT_NONE;
    int64_t StartSector = -1, EndSector = -1;  // relative
  };
  struct TVobu;
  struct TPictInBuffer {  // a picture in the video buffer model
    int64_t Dts;
    int64_t Size;
  };

  bool Fail(std::string_view message);
  template <typename... Args>
  bool FailFmt(std::string_view format, const Args&... args) {
    LogFmt(EVT_ERROR, format, args...);
    failed_ = true;
    return false;
  }
  bool CheckPacket(const TMuxPacketIn& packet, TStreamState*& stream, bool& drop);
  bool WriteGroup(std::vector<TPacketContainerPtr> packets);
  bool OpenVobu(const TAvPacketContainer& start, const std::vector<TPacketContainerPtr>& packets);
  bool WritePacket(const TAvPacketContainer& packet);
  bool WriteVideo(TStreamState& s, const TAvPacketContainer& p);
  bool WriteAudio(TStreamState& s, const TAvPacketContainer& p);
  bool WriteSubpicture(TStreamState& s, const TAvPacketContainer& p);
  // Emits one pack of at most `limit` bytes from the head of the stream's queue.
  bool EmitPack(TStreamState& s, size_t limit);
  // Audio is flushed too at the end of a VOB (and of the run).
  bool FlushVobu(bool endOfVob);
  bool FinaliseVobus(bool all);
  bool FinaliseOldest();
  void CloseCell();

  int64_t Rebase(int64_t t) const { return t + offset_ - vobBase_; }
  int64_t Scr27() const;
  void SetScrAtLeast(int64_t scr27, bool roundUp);
  int64_t TakeScr(int64_t t);
  void PicturesLeave(int64_t time);
  void AdvanceScrFor(int64_t threshold);

  TDvdMuxParams params_;
  std::shared_ptr<TVobuCollection> collection_;
  std::unique_ptr<TAvPacketInterleaver> interleaver_;
  std::map<int32_t, TStreamState> streams_;
  unsigned audioBound_ = 0;
  bool opened_ = false, failed_ = false, finished_ = false;

  int frameRate_ = 25;
  int frameDuration_ = 3600;
  int64_t nextSector_ = 0;

  // Clock and video buffer model.
  int64_t scrPacks_ = 0;  // the SCR as a count of pack times
  int64_t scrBase_ = 0;   // 90 kHz part of the last SCR taken
  int64_t fullness_ = 0;
  std::deque<TPictInBuffer> pictures_;

  int64_t offset_ = kNoTimeStamp;
  int64_t vobBase_ = 0;
  bool haveCell_ = false;
  uint16_t vobId_ = 0;
  uint8_t cellId_ = 0;
  int64_t vobVideoStart_ = 0, vobVideoEnd_ = 0;

  // Sub-picture streams: the VOBU that holds each one's last unit, and its end.
  std::array<bool, 32> spSeen_{};
  std::array<int64_t, 32> spFirstVobuSector_{};
  std::array<int64_t, 32> spLastVobuSector_{};
  std::array<int64_t, 32> spLastEnd_{};
  std::shared_ptr<const TNavHighlight> menuPage_;
  int64_t menuPtm_ = 0;

  std::deque<std::unique_ptr<TVobu>> vobus_;  // opened, not yet written; the last is open
  std::map<size_t, std::vector<TVobuPosition>> cellPositions_;  // by cell index
};

}  // namespace vidoria
