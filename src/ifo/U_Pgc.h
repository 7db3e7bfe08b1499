#pragma once
// Program chains and the two program-chain tables, as plain structures, and their
// serialisers.
//
// A program chain (PGC) tells a player which cells to play in which order, with which
// streams, palette and navigation commands. The title set keeps its title chains in a
// title table; menus keep theirs in a table of language units.

#include "ifo/U_IfoCommands.h"
#include "ifo/U_IfoTables.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vidoria {

constexpr size_t kPgcHeaderSize = 236;
constexpr size_t kMaxPgcCommands = 128;  // pre-, post- and cell commands together
constexpr size_t kMaxPgcCells = 255;     // programs and cells are counted in single bytes

// Cell categories (first byte of a cell playback entry).
constexpr uint8_t kCellStcDiscontinuity = 0x02;  // the first cell: the system clock restarts
constexpr uint8_t kCellSeamless = 0x08;          // the others
constexpr uint8_t kCellStillInfinite = 0xFF;     // still time: wait for the user

// One cell of a chain: its playback entry (24 bytes) and its position entry (4 bytes).
struct TPgcCell {
  uint8_t Category = kCellSeamless;
  uint8_t StillTime = 0;
  uint8_t CellCommand = 0;     // 1-based cell command run after the cell, or 0
  int64_t Duration = 0;        // 90 kHz
  uint32_t FirstSector = 0;    // first VOBU of the cell
  uint32_t LastVobuSector = 0; // first sector of the cell's last VOBU
  uint32_t LastSector = 0;
  uint16_t VobId = 1;
  uint8_t CellId = 1;
};

// Layout, relative to the chain's start: 0 (2), programs (1), cells (1), playback time
// (4), prohibited user operations (4), audio control (8 x 2), sub-picture control
// (32 x 4), zeros, palette at 164 (16 x 4), then at 228 the offsets (2 each) of the
// command table, program map, cell playback and cell position tables (0 for an absent
// part), and from 236 those parts in that order. The command table is its counts
// (pre, post, cell: 2 each), its end address (2), then the commands; the program map
// is one entry cell per program, padded to an even length.
struct TPgc {
  unsigned FrameRate = 30;  // 25 or 30, for the playback times
  uint32_t ProhibitedUserOps = 0;
  std::array<uint16_t, 8> AudioControl{};
  std::array<uint32_t, 32> SubpictureControl{};
  std::array<uint32_t, 16> Palette{};  // 0x00YYCrCb
  std::vector<TNavCommand> PreCommands;
  std::vector<TNavCommand> PostCommands;
  std::vector<TNavCommand> CellCommands;
  std::vector<uint8_t> ProgramEntryCells;  // one per program: its first cell, 1-based
  std::vector<TPgcCell> Cells;
};

// 236 + (8 + 8 x commands when there are any) + programs rounded up to even + 28 x cells.
size_t PgcSize(const TPgc& pgc);

// Appends the chain. Its playback time is the cells' 90 kHz durations added up and
// converted to frames once, so rounding does not accumulate per cell.
bool WritePgc(TByteWriter& w, const TPgc& pgc, std::string* error);

// ---- Title program chain table (title set) ----------------------------------------

struct TTitlePgc {
  uint32_t Category = 0;  // bit 31: entry chain of the title in bits 30-24
  TPgc Pgc;
};

// Header: chains (2), 0 (2), end address (4); 8 bytes per chain: category (4), offset
// from the table start (4); then the chains.
struct TTitlePgcTable {
  std::vector<TTitlePgc> Pgcs;
};

// The category of the chain at `index` (0-based) of a title set with one title:
// 81000000 for the first (entry chain of title 1), (index + 1) << 24 for the others.
uint32_t TitlePgcCategory(size_t index);

bool WriteTitlePgcTable(TByteWriter& w, const TTitlePgcTable& t, std::string* error);

// ---- Menu program chain table (language units) ------------------------------------

constexpr uint8_t kMenuEntryTitle = 0x82;  // the video manager's title menu
constexpr uint8_t kMenuEntryRoot = 0x83;   // a title set's root menu

struct TMenuPgc {
  // Entry byte of the chain's search pointer. When not given, the unit's first chain
  // is its root menu and the others are no entry.
  std::optional<uint8_t> EntryId;
  TPgc Pgc;
};

struct TMenuLanguageUnit {
  std::array<char, 2> Language{'e', 'n'};
  uint8_t Existence = 0x80;  // which menus the unit holds (top bit: title or root menu)
  std::vector<TMenuPgc> Pgcs;
};

// Header: units (2), 0 (2), end address (4); 8 bytes per unit: language (2), 0 (1),
// existence (1), offset of the unit from the table start (4). Each unit: chains (2),
// 0 (2), end address relative to the unit (4); 8 bytes per chain: entry byte (1), 0
// (3), offset from the unit start (4); then the chains.
struct TMenuPgcTable {
  std::vector<TMenuLanguageUnit> Units;
};

bool WriteMenuPgcTable(TByteWriter& w, const TMenuPgcTable& t, std::string* error);

}  // namespace vidoria
