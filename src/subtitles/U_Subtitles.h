#pragma once
// External subtitle files: SubRip text files and VobSub pairs (.idx with .sub). Their
// events go into one time-ordered list per title, from which the conversion loop takes
// one sub-picture packet at a time.
//
// The file formats are read by plain functions (ParseSrt, ParseIdx, ReadSubPictureUnit)
// that know nothing of files or logs; TSttFile ties them to a file name, the user's
// settings and the title's event list.

#include "app/U_LogConsts.h"
#include "common/U_FontDesc.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vidoria {

class TDVDPalette;

enum E_Stt_File_Type : uint8_t { STTF_NONE = 0, STTF_SRT = 1, STTF_SUBIDX = 2, STTF_SSA = 3 };

constexpr int kMaxSttStreams = 32;
constexpr uint8_t kFirstSttStreamId = 0x20;
constexpr size_t kSubPackSize = 2048;
// Events that would show for this long or less are dropped: a player cannot show them.
constexpr int64_t kMinSttDurationMs = 30;
// Gap kept between the end of one event and the start of the next.
constexpr int64_t kMinSttGapMs = 50;
// Events read from one file at most; a film has a few thousand.
constexpr size_t kMaxSttEventsPerFile = 100000;

// ---- SubRip ---------------------------------------------------------------------------

struct TSrtCue {
  int64_t Start = 0;     // ms
  int64_t Duration = 0;  // ms; end - start, may be 0 or negative in a bad file
  std::vector<std::u32string> Lines;
};

// Splits at CR, LF and CRLF.
std::vector<std::u32string> SplitLines(std::u32string_view text);

// One time of a timing line, "hh:mm:ss,zzz" (or with "." before the milliseconds);
// false when it does not read.
bool ParseSrtTime(std::u32string_view text, int64_t& ms);

// The cues of a SubRip file given as lines. A cue starts with a timing line ("start -->
// end"), optionally preceded by its number; either must stand at the start of the file
// or after a blank line, so a text line that is only a number stays text. Cues without
// text, and cues whose timing line does not read (reported in `warnings`), are left out.
std::vector<TSrtCue> ParseSrt(const std::vector<std::u32string>& lines, std::vector<std::string>* warnings = nullptr);

// ---- VobSub index --------------------------------------------------------------------

struct TIdxEntry {
  int64_t Start = 0;    // ms
  int64_t FilePos = 0;  // offset in the .sub of the unit's first pack
  uint8_t StreamIndex = 0;
};

struct TIdxContents {
  int32_t Width = 0, Height = 0;  // "size"; 0 when absent
  bool HasPalette = false;
  std::array<uint32_t, 16> Palette{};  // 0x00RRGGBB
  std::array<bool, kMaxSttStreams> StreamPresent{};
  std::array<std::string, kMaxSttStreams> Language;  // two lower-case letters, or empty
  std::vector<TIdxEntry> Entries;                     // in file order
};

// Reads an .idx file. Lines it cannot use are reported in `warnings` and skipped. False
// (with the reason) only when the file as a whole is unusable: a picture size that is
// not a DVD size.
bool ParseIdx(std::string_view text, TIdxContents& idx, std::vector<std::string>& warnings, std::string& error);

// ---- VobSub sub-picture packs ---------------------------------------------------------

// Random access to the bytes of a .sub file.
class TPackSource {
 public:
  virtual ~TPackSource() = default;
  virtual int64_t Size() const = 0;
  // Reads exactly `n` bytes at `pos`; false on a short read or an error.
  virtual bool ReadAt(int64_t pos, uint8_t* data, size_t n) = 0;
};

class TMemoryPackSource : public TPackSource {
 public:
  TMemoryPackSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  int64_t Size() const override { return static_cast<int64_t>(size_); }
  bool ReadAt(int64_t pos, uint8_t* data, size_t n) override;

 private:
  const uint8_t* data_;
  size_t size_;
};

class TFilePackSource : public TPackSource {
 public:
  ~TFilePackSource() override { Close(); }
  bool Open(const std::filesystem::path& file, std::string* error);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int64_t Size() const override { return size_; }
  bool ReadAt(int64_t pos, uint8_t* data, size_t n) override;

 private:
  int fd_ = -1;
  int64_t size_ = 0;
};

// Packs looked at for one unit before giving up; a unit is at most 64 KiB, so even with
// other streams' packs between its own this is generous.
constexpr int kMaxPacksPerUnit = 512;

// Gathers the sub-picture unit of sub-stream `subStreamId` (0x20..0x3F) whose first pack
// is at `filePos`, checking pack and packet start codes and lengths, skipping packs of
// other streams, stopping at the end of the file. False (with the reason) for a bad unit.
bool ReadSubPictureUnit(TPackSource& source, int64_t filePos, uint8_t subStreamId, std::vector<uint8_t>& unit,
                        std::string& error);

// ---- Events -----------------------------------------------------------------------------

class TSttFile;

struct TSttFrame {
  TSttFile* Owner = nullptr;
  std::vector<std::u32string> Lines;  // text events: lines with markup
  int64_t Start = 0;                  // ms from the start of the title
  int64_t Duration = 0;               // ms; 0 for VobSub events (the unit holds its stop time)
  uint8_t StreamId = kFirstSttStreamId;
  int64_t FilePos = -1;  // VobSub events: offset of the unit's first pack; -1 for text

  bool IsText() const { return FilePos < 0; }
  int StreamIndex() const { return StreamId - kFirstSttStreamId; }
};

// The events of a title, sorted by start time, with an iterator.
class TSttFrameList {
 public:
  TSttFrame& AddTextFrame(TSttFile* file, uint8_t streamId, int64_t start, int64_t duration,
                          std::vector<std::u32string> lines);
  TSttFrame& AddSubFrame(TSttFile* file, uint8_t streamId, int64_t start, int64_t filePos);
  // Removes and frees events; the iterator stays on the same following event.
  void Remove(const TSttFrame* frame) { Remove(std::vector<const TSttFrame*>{frame}); }
  void Remove(const std::vector<const TSttFrame*>& frames);
  void Clear();

  // Iterator: First() goes to index 0; Next() moves on and tells whether there is an event.
  TSttFrame* First();
  bool Next();
  TSttFrame* Current() const { return index_ < items_.size() ? items_[index_].get() : nullptr; }
  size_t CurrentIndex() const { return index_; }

  size_t Count() const { return items_.size(); }
  TSttFrame& Item(size_t i) { return *items_[i]; }
  const TSttFrame& Item(size_t i) const { return *items_[i]; }

 private:
  TSttFrame& Insert(std::unique_ptr<TSttFrame> frame);
  std::vector<std::unique_ptr<TSttFrame>> items_;
  size_t index_ = 0;
};

// Where a stream of a subtitle file goes in the title being built.
struct TSttOutputStream {
  int Index = -1;         // output stream index, -1 when the stream is not in the title
  int64_t StartTime = 0;  // 90 kHz; added to the times of the stream's events when positive
};

// A subtitle file: standalone (no event list; setting the name loads it to count events
// and learn its streams) or attached to a title's event list for a build.
class TSttFile : public TLoggingObject {
 public:
  explicit TSttFile(TSttFrameList* frameList = nullptr);
  ~TSttFile() override;
  TSttFile(const TSttFile&) = delete;
  TSttFile& operator=(const TSttFile&) = delete;

  TSttFrameList* FrameList() const { return frameList_; }
  E_Stt_File_Type FileType() const { return fileType_; }
  const std::filesystem::path& FileName() const { return fileName_; }
  const std::filesystem::path& IdxFileName() const { return idxFileName_; }
  bool Loaded() const { return loaded_; }
  int32_t PictureWidth() const { return pictureWidth_; }
  int32_t PictureHeight() const { return pictureHeight_; }
  int32_t EventCount() const { return eventCount_; }
  int32_t PacketCount() const { return packetCount_; }
  bool HasPalette() const { return hasPalette_; }
  const std::array<uint32_t, 16>& Palette() const { return palette_; }
  // Replaces `palette` by the file's 16 colours when the file has a palette.
  void ApplyPalette(TDVDPalette& palette) const;

  // User settings, copied by Assign.
  TFontDesc Font{"Arial", 24, false, false, false, kWhite};
  TRgb OutlineColor = kBlack;
  int32_t OutlineSize = 2;
  uint32_t CodePage = 0;  // for text files without a byte-order mark; 0 = UTF-8 or Windows-1252
  int32_t LineBreak = 47;
  uint8_t RelativePosition = 90;
  int32_t DefaultStream = -1;

  // Resets the file, sets the type and the names from the extension and, when
  // standalone, loads it; a standalone file without events becomes STTF_NONE.
  void SetFileName(const std::filesystem::path& name);
  // Reads the file once; returns the number of events.
  int Load();
  // Drops text events of kMinSttDurationMs or less and shortens events that run into
  // the next one of the same stream; returns the number shortened.
  int FixTimings();

  int StreamCount() const;
  int StreamByOrdinal(int n) const;  // index of the n-th present stream, 0 when fewer
  bool StreamPresent(int index) const { return index >= 0 && index < kMaxSttStreams && streamPresent_[index]; }
  std::string GetStreamLanguage(int n) const;
  void SetStreamLanguage(int n, std::string_view code);
  void SetStreamDiscarded(int index, bool discarded);
  bool IsStreamDiscarded(int index) const;
  // Records the output stream of the n-th present stream; true when it had none.
  bool AttachOutputStream(int n, int outputIndex);
  TSttOutputStream& OutputStream(int index) { return outputStreams_[static_cast<size_t>(index & 31)]; }
  const TSttOutputStream& OutputStream(int index) const { return outputStreams_[static_cast<size_t>(index & 31)]; }

  bool OpenSubStream();
  void CloseSubStream();
  // The sub-picture unit of a VobSub event, from the open .sub file.
  bool ReadUnit(const TSttFrame& frame, std::vector<uint8_t>& unit, std::string& error);
  void CountPacket() { ++packetCount_; }

  // Copies the name (loading as SetFileName does) and the user's settings.
  void Assign(const TSttFile& source);

  // The file itself when `name` names one, else a file in the same folder whose name
  // differs only in letter case; empty when there is none.
  static std::filesystem::path FindFileAnyCase(const std::filesystem::path& name);
  // The two-letter code of the user's locale, empty when it has none.
  static std::string DefaultLanguage();

 private:
  int LoadSrt();
  int LoadIdx();
  bool ReadSmallFile(const std::filesystem::path& file, std::string& data);

  TSttFrameList* frameList_;
  E_Stt_File_Type fileType_ = STTF_NONE;
  std::filesystem::path fileName_, idxFileName_;
  bool loaded_ = false;
  int32_t pictureWidth_ = 0, pictureHeight_ = 0;
  uint8_t currentStreamId_ = kFirstSttStreamId;
  std::array<TSttOutputStream, kMaxSttStreams> outputStreams_{};
  std::array<bool, kMaxSttStreams> streamPresent_{};
  std::array<std::string, kMaxSttStreams> streamLanguage_;
  // Languages the user chose; the file's own declarations do not replace them.
  std::array<bool, kMaxSttStreams> languageChosen_{};
  std::array<bool, kMaxSttStreams> streamDiscarded_{};
  std::array<uint32_t, 16> palette_{};
  bool hasPalette_ = false;
  TFilePackSource subStream_;
  int32_t packetCount_ = 0;
  int32_t eventCount_ = 0;
};

// One sub-picture packet for the multiplexer.
struct TSttPacket {
  std::vector<uint8_t> Data;  // the sub-picture unit
  int64_t Pts = 0;            // 90 kHz
  int64_t Duration = 0;       // 90 kHz; 0 for VobSub units
  int StreamIndex = -1;       // output stream
  const TSttFrame* Frame = nullptr;  // the event; owned by the title's event list
};

// Turns a text event into a sub-picture unit (typesetting, drawing and encoding live
// elsewhere); false when the event gives no unit.
using TSttTextRenderer = std::function<bool(const TSttFrame& frame, bool pal, std::vector<uint8_t>& unit)>;

// Typesets, draws and encodes text events on a picture of the event's standard. The
// colours they use are added to `palette`, the title's, which the units refer to.
// Keeps its fonts open between events; one renderer per title and thread.
TSttTextRenderer MakeTextEventRenderer(std::shared_ptr<TDVDPalette> palette);

// The subtitle files of one title and their shared event list.
class TSttList : public TLoggingObject {
 public:
  TSttFile& AddFile();
  size_t Count() const { return files_.size(); }
  TSttFile& Item(size_t i) { return *files_[i]; }
  TSttFrameList& Frames() { return frames_; }

  TSttTextRenderer TextRenderer;

  // Loads every file and fixes its timings, checks that the VobSub files share one
  // picture height and opens their .sub files. False when they do not or one cannot be
  // opened.
  bool LoadAll();
  // PAL (height over 480) or NTSC from the first VobSub file; false when there is none.
  bool DetectSubIdxStandard(bool& pal);
  void CloseAll();
  // 90 kHz time of the current event, INT64_MAX when there is none left.
  int64_t PeekNextPts() const;
  // The packet of the current event, then moves on. Returns its size, 0 when the event
  // gives no packet (discarded stream, no output stream, bad unit), -1 at the end.
  int64_t NextPacket(TSttPacket& packet, bool pal);

 private:
  int64_t PtsOf(const TSttFrame& frame) const;
  std::vector<std::unique_ptr<TSttFile>> files_;
  TSttFrameList frames_;
};

}  // namespace vidoria
