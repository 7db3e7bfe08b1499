#pragma once
// The record of one VOB file set as the multiplexer wrote it: every VOBU with its
// sector and times, every cell, the streams that appeared and their attributes, and a
// few statistics of the decoder-buffer model. The IFO builder turns it into address
// maps, cell tables, program chains, time maps and stream attribute tables.

#include "common/U_DVDPalette.h"
#include "mux/U_MuxPacket.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vidoria {

// One VOBU. Times are 90 kHz ticks on the title's time line.
struct TVobuData {
  uint8_t CellId = 0;
  uint32_t StartSector = 0;  // the navigation pack, from the first sector of the VOB file set
  uint16_t VobId = 0;
  int64_t StartTime = 0;  // decoding time of its first I picture + one frame
  int64_t EndTime = 0;    // start + duration

  int64_t Length() const { return EndTime > StartTime ? EndTime - StartTime : 0; }
};

struct TCell {
  uint8_t CellId = 0;
  uint16_t VobId = 0;
  uint32_t FirstSector = 0;     // start sector of its first VOBU
  uint32_t LastSector = 0;      // last sector of its last VOBU
  uint32_t LastVobuSector = 0;  // start sector of its last VOBU
  int64_t StartTime = 0;        // 90 kHz, start of its first VOBU
  int64_t Duration = 0;         // 90 kHz
  int64_t VobBase = 0;          // decoding time of the first I picture of its VOB
  // The first menu page whose buttons the cell's navigation packs describe; none for movies.
  std::shared_ptr<const TNavHighlight> MenuPage;
  int32_t VobuCount = 0;
};

// A time map: for every `Unit` seconds of the title, the VOBU that plays then.
struct TTimeMap {
  int FrameRate = 25;
  int Unit = 0;  // seconds
  // Start sectors; bit 31 set where the entry's cell differs from the one before.
  std::vector<uint32_t> Entries;
};

// DVD audio coding modes.
enum TAudioCoding : uint8_t { AC_AC3 = 0, AC_MPEG1 = 2, AC_LPCM = 4, AC_DTS = 6 };
TAudioCoding AudioCodingOf(AVCodecID codec);

class TVobuCollection {
 public:
  static constexpr size_t kAudioSlots = 8;
  static constexpr size_t kSubpictureSlots = 32;

  explicit TVobuCollection(std::shared_ptr<TDVDPalette> palette = nullptr);

  // Empties the VOBU and cell lists and forgets streams and statistics.
  void Clear();

  // 25 for any rate up to 25, else 30.
  void SetFrameRate(int rate) { FrameRate = rate <= 25 ? 25 : 30; }

  // Records audio stream `slot` (0-7) the first time; returns whether it was new.
  bool RegisterAudioStream(unsigned slot, AVCodecID codec, int channels, std::string_view language);
  // Marks sub-picture stream `slot` (0-31) present with its language.
  void RegisterSubpictureStream(unsigned slot, std::string_view language);

  // Appends a finished VOBU and raises the last sector to its end.
  void AddVobu(const TVobuData& vobu, uint32_t sectorCount);

  // Stream attribute records as the IFO files hold them.
  std::array<uint8_t, 8> AudioAttributes(unsigned slot) const;
  std::array<uint8_t, 6> SubpictureAttributes(unsigned slot) const;
  // Program chain stream control words.
  uint16_t AudioControl(unsigned index) const;
  uint32_t SubpictureControl(unsigned slot) const;
  TRgb PaletteEntry(size_t index) const { return Palette ? Palette->Item(index) : kBlack; }

  unsigned PresentSubpictureCount() const;
  int64_t TotalFrames() const;
  int64_t TotalDurationMs() const;
  // The map for a unit of `unitSeconds`; none when the title is shorter than half a unit.
  std::optional<TTimeMap> TimeMap(int unitSeconds) const;

  // ---- contents, read by the IFO builder
  std::vector<TVobuData> Vobus;
  std::vector<TCell> Cells;
  int32_t LastSector = 0;  // highest sector written
  int32_t FrameRate = 25;
  uint32_t FrameCount = 0;  // frames of the run, set by the encoder
  bool Widescreen = false;
  bool Pulldown = false;  // film-rate video with pulldown flags
  int64_t BytesWritten = 0;

  int32_t AudioStreamCount = 0;
  std::array<std::array<char, 2>, kAudioSlots> AudioLanguage{};  // lower case, or zeros
  std::array<uint8_t, kAudioSlots> AudioCodingMode{};
  std::array<uint8_t, kAudioSlots> AudioChannels{};
  std::array<uint8_t, kAudioSlots> AudioCodeExtension{};

  std::array<bool, kSubpictureSlots> SubpicturePresent{};
  std::array<std::array<char, 2>, kSubpictureSlots> SubpictureLanguage{};
  std::array<uint8_t, kSubpictureSlots> SubpictureCodeExtension{};
  // Display modes a slot is offered in: 4:3, wide, letterbox, pan-scan.
  std::array<std::array<bool, 4>, kSubpictureSlots> SubpictureModes{};
  int32_t DefaultSubpictureStream = -1;  // switched on at the title's start; -1 none

  std::shared_ptr<TDVDPalette> Palette;

  // Video buffer model of the multiplexer.
  int32_t UnderflowCount = 0, LargestUnderflow = 0;
  int32_t OverflowCount = 0, LargestOverflow = 0;
  int32_t SubpicturePackCount = 0, AudioPackCount = 0;

 private:
  std::array<bool, kAudioSlots> audioRegistered_{};
};

// ---------------------------------------------------------------- languages

// The languages offered for audio and sub-picture streams, with the two-letter
// ISO 639-1 codes the attribute records store (including the old codes iw, in, ji, jw
// that older discs use). Row 0 is "Unspecified", without code.
struct TLanguage {
  const char* Code;
  const char* Name;
};

namespace languages {

std::span<const TLanguage> Table();
// Row of `code`, compared without regard to case; 0 when none or empty.
size_t FindByCode(std::string_view code);
// First row whose name, compared without regard to case, begins `text`.
std::optional<size_t> FindByName(std::string_view text);
// Row of the user's language (LC_ALL, LC_MESSAGES, LANG); 0 when it is not listed.
size_t DefaultLanguage();
// "Name (code)" for every row, with the row, in table order or sorted by text.
std::vector<std::pair<std::string, size_t>> Choices(bool sorted);

}  // namespace languages

}  // namespace vidoria
