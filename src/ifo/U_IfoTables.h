#pragma once
// The simple tables of the IFO files, as plain structures, and their serialisers.
//
// Each structure holds values, never bytes laid out in advance; each Write function
// appends the table at the writer's current position, with every offset counted from
// the table's first byte, and returns false (with the reason) when the values do not
// fit the table. All multi-byte fields are big-endian. An "end address" is the
// table's size in bytes minus one, counted before the file pads the table to a whole
// sector: readers derive the number of entries from it.

#include "common/U_ByteWriter.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vidoria {

// ---- Times -----------------------------------------------------------------------

// 25 or 30; anything else is refused with "Invalid Frame Per Second value %d - Only
// 25 or 30 allowed".
bool CheckFrameRate(unsigned frameRate, std::string* error);

// Whole frames in a 90 kHz duration at `frameRate` frames per second.
int64_t FramesOf(int64_t ticks90k, unsigned frameRate);

// A playback time: BCD hours, minutes and seconds, then the BCD frame number with the
// rate in the top two bits (01 for 25 frames/s, 11 for 30). Fails beyond 99 hours.
bool PutDvdTime(TByteWriter& w, int64_t frames, unsigned frameRate, std::string* error);

// A two-letter language field: the first two characters lower-cased, or two zero
// bytes for a text shorter than two characters.
std::array<uint8_t, 2> LanguageCode(std::string_view text);

// ---- Attribute blocks ------------------------------------------------------------

// Stream records as the multiplexer describes them (audio: coding mode, channels,
// language, code extension; sub-picture: language type, language, code extension).
using TAudioAttributes = std::array<uint8_t, 8>;
using TSubpictureAttributes = std::array<uint8_t, 6>;

struct TVideoAttributes {
  bool Pal = true;          // TV system: 625/50 (25 frames/s), else 525/60
  bool Widescreen = false;  // display aspect 16:9, else 4:3
  bool FilmMode = false;    // bit 0 of the second byte: film material shown with pulldown
};

// The video attributes and the audio and sub-picture streams of a menu or title VOB
// set. The number of streams written is the size of each list.
struct TStreamAttributes {
  TVideoAttributes Video;
  std::vector<TAudioAttributes> Audio;
  std::vector<TSubpictureAttributes> Subpictures;
};

// Layout of a block, relative to its start: video (2), number of audio streams (2),
// audio records (8 each, room for 8), zeros up to 84, number of sub-picture streams
// (2), sub-picture records (6 each) from 86. A title block holds up to 8 audio and 32
// sub-picture records (278 bytes); a menu block holds at most one of each and must
// stay inside its 256 bytes, ahead of the title block.
enum class TAttributeBlock { Menu, Title };
constexpr size_t kAttributeBlockSize = 86 + 32 * 6;
constexpr size_t kMenuAttributeBlockSize = 256;

// Writes the block over `at` (zeroed bytes already written).
bool PatchStreamAttributes(TByteWriter& w, size_t at, const TStreamAttributes& attr, TAttributeBlock kind,
                           std::string* error);

// ---- Title search table (VIDEO_TS.IFO) --------------------------------------------

struct TTitleInfo {
  uint8_t PlaybackType = 0;     // playback type byte (which user operations the title allows)
  uint8_t Angles = 1;
  uint16_t Chapters = 0;
  uint16_t ParentalMask = 0;
  uint8_t TitleSet = 0;         // 1-based title set number
  uint8_t TitleInSet = 1;       // title number within its title set
  uint32_t TitleSetSector = 0;  // first sector of the title set, counted from VIDEO_TS.IFO
};

// Header: titles (2), 0 (2), end address (4); then 12 bytes per title.
struct TTitleSearchTable {
  std::vector<TTitleInfo> Titles;  // 1 to 99
};
bool WriteTitleSearchTable(TByteWriter& w, const TTitleSearchTable& t, std::string* error);

// ---- Title set attribute table (VIDEO_TS.IFO) -------------------------------------

// A copy of a title set's category and attribute blocks (its header bytes 256..1023).
struct TTitleSetAttributes {
  uint32_t Category = 0;
  TStreamAttributes Menu;
  TStreamAttributes Title;
};

// Header: title sets (2), 0 (2), end address (4); one offset (4) per title set; then
// per title set 776 bytes: end address (4) = 775, category (4), the 768 bytes.
struct TTitleSetAttributeTable {
  std::vector<TTitleSetAttributes> TitleSets;  // 1 to 99
};
constexpr size_t kTitleSetAttributesSize = 776;
bool WriteTitleSetAttributeTable(TByteWriter& w, const TTitleSetAttributeTable& t, std::string* error);

// ---- Part-of-title search table (title set) ---------------------------------------

struct TPartOfTitle {
  uint16_t Pgc = 1;      // program chain number in the title set
  uint16_t Program = 1;  // program number in that chain
};

// Header: titles (2), 0 (2), end address (4); one offset (4) per title to its first
// chapter; then 4 bytes per chapter.
struct TPartOfTitleTable {
  std::vector<std::vector<TPartOfTitle>> Titles;  // chapters of each title; 1 to 99 titles
};
bool WritePartOfTitleTable(TByteWriter& w, const TPartOfTitleTable& t, std::string* error);

// ---- Cell address table -----------------------------------------------------------

struct TCellAddress {
  uint16_t VobId = 1;
  uint8_t CellId = 1;
  uint32_t FirstSector = 0;  // counted from the first sector of the VOB set
  uint32_t LastSector = 0;
};

// Header: number of VOBs (2, the highest VOB id), 0 (2), end address (4); then 12
// bytes per cell.
struct TCellAddressTable {
  std::vector<TCellAddress> Cells;
};
bool WriteCellAddressTable(TByteWriter& w, const TCellAddressTable& t, std::string* error);

// ---- VOBU address map -------------------------------------------------------------

// End address (4); then the first sector of each VOBU (4 each).
struct TVobuAddressMap {
  std::vector<uint32_t> VobuSectors;
};
bool WriteVobuAddressMap(TByteWriter& w, const TVobuAddressMap& t, std::string* error);

// ---- Time map table (title set) ---------------------------------------------------

constexpr uint32_t kTimeMapDiscontinuity = 0x80000000u;  // entry bit: a new cell begins
constexpr size_t kMaxTimeMapEntries = 2048;

struct TIfoTimeMap {
  uint8_t Unit = 4;               // seconds per entry
  std::vector<uint32_t> Entries;  // VOBU sector, possibly with kTimeMapDiscontinuity
};

// Header: maps (2), 0 (2), end address (4); one offset (4) per map; each map: unit
// (1), 0 (1), entries (2), entries (4 each).
struct TTimeMapTable {
  std::vector<TIfoTimeMap> Maps;
};
bool WriteTimeMapTable(TByteWriter& w, const TTimeMapTable& t, std::string* error);

// The unit that keeps a title of `durationMs` within the map's 2048 entries:
// max(4, ceil(seconds / 2048)), at most 255.
uint8_t TimeMapUnit(int64_t durationMs);

}  // namespace vidoria
