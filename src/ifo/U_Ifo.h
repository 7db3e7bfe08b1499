#pragma once
// The IFO files of a DVD-Video folder: the video manager ("VIDEO_TS.IFO") and one
// title set file per title set ("VTS_nn_0.IFO"), each with a byte-identical ".BUP"
// copy.
//
// A file is its management table, then each present table from the next free
// sector, zero-filled to the end of its last sector; the management table records
// each table's start sector, or 0 for a table that is absent. Sectors are 2048 bytes.

#include "ifo/U_IfoTables.h"
#include "ifo/U_Pgc.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vidoria {

constexpr size_t kIfoSectorSize = TByteWriter::kSectorSize;

// Sector 0 of a title set file:
//   0 "DVDVIDEO-VTS" | 12 last sector of the title set (IFO + title VOBs + BUP - 1)
//   28 last sector of the IFO | 32 version 00 11 | 128 last byte of the table (2047)
//   192 menu VOBs (0: none) | 196 title VOBs | 200 part-of-title table | 204 title chains
//   208 menu chains | 212 time maps | 216, 220 menu cells and VOBU map (0: no menu VOBs)
//   224 title cells | 228 title VOBU map | 256 menu attributes | 512 title attributes
// The tables follow in the order of the fields 200 to 228.
struct TVtsIfo {
  TStreamAttributes MenuAttributes;  // at most one audio and one sub-picture stream
  TStreamAttributes TitleAttributes;
  uint32_t TitleVobSectors = 0;      // sectors of VTS_nn_1.VOB onwards, together
  TPartOfTitleTable PartsOfTitle;
  TTitlePgcTable TitlePgcs;
  std::optional<TMenuPgcTable> MenuPgcs;
  std::optional<TTimeMapTable> TimeMaps;
  TCellAddressTable TitleCells;
  TVobuAddressMap TitleVobus;
};

// Sector 0 of VIDEO_TS.IFO (and more sectors when the first-play chain needs them):
//   0 "DVDVIDEO-VMG" | 12 last sector of the video manager (IFO + menu VOB + BUP - 1)
//   28 last sector of the IFO | 32 version 00 11 | 35 region byte 40 | 38 volumes 1
//   40 volume 1 | 42 side 1 | 62 title sets | 64 provider id (32)
//   128 last byte of the first-play chain | 132 first-play chain (1024)
//   192 menu VOB | 196 title search table | 200 menu chains | 208 title set attributes
//   216 menu cells | 220 menu VOBU map | 256 menu attributes | 1024 first-play chain
// The tables follow in the order of the fields 196 to 220.
struct TVmgIfo {
  std::string ProviderId = "QOR SOFTWARE";
  TStreamAttributes MenuAttributes;  // at most one audio and one sub-picture stream
  TPgc FirstPlay;
  TTitleSearchTable Titles;
  std::optional<TMenuPgcTable> MenuPgcs;
  TTitleSetAttributeTable TitleSetAttributes;  // one per title set, in order
  std::optional<TCellAddressTable> MenuCells;
  std::optional<TVobuAddressMap> MenuVobus;
  uint32_t MenuVobSectors = 0;  // sectors of VIDEO_TS.VOB; 0 without menus
};

constexpr size_t kFirstPlayPgcOffset = 1024;

// The title set's entry in the video manager's title set attribute table.
TTitleSetAttributes TitleSetAttributesOf(const TVtsIfo& vts);

// Lays out a whole file. False, with the reason, when a table cannot be written.
bool BuildVtsIfo(const TVtsIfo& vts, std::vector<uint8_t>& out, std::string* error);
bool BuildVmgIfo(const TVmgIfo& vmg, std::vector<uint8_t>& out, std::string* error);

// Writes `bytes` as `ifoFile` and as its ".BUP" twin (same name, extension BUP). Each
// file is replaced whole or not at all; false, with the reason, when either write fails.
bool SaveIfoAndBackup(const std::filesystem::path& ifoFile, const std::vector<uint8_t>& bytes, std::string* error);

// "VIDEO_TS.IFO" and "VTS_nn_0.IFO" (nn from 01 to 99).
std::string VmgIfoName();
std::string VtsIfoName(unsigned titleSet);

}  // namespace vidoria
