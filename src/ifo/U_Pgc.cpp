#include "ifo/U_Pgc.h"

#include "platform/MessageFormat.h"

#include <stdexcept>

namespace vidoria {

namespace {

bool Fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

size_t CommandCount(const TPgc& pgc) {
  return pgc.PreCommands.size() + pgc.PostCommands.size() + pgc.CellCommands.size();
}

size_t CommandTableSize(const TPgc& pgc) {
  const size_t n = CommandCount(pgc);
  return n == 0 ? 0 : 8 + 8 * n;
}

size_t ProgramMapSize(const TPgc& pgc) { return (pgc.ProgramEntryCells.size() + 1) / 2 * 2; }

// Refuses what a player could not follow or what does not fit the chain's fields.
bool CheckPgc(const TPgc& pgc, std::string* error) {
  if (!CheckFrameRate(pgc.FrameRate, error)) return false;
  const size_t programs = pgc.ProgramEntryCells.size(), cells = pgc.Cells.size();
  if (cells > kMaxPgcCells)
    return Fail(error, SafeFormat("Program chain: %d cells (at most %d allowed)", cells, kMaxPgcCells));
  if (programs > cells)
    return Fail(error, SafeFormat("Program chain: %d programs for %d cells", programs, cells));
  if (programs == 0 && cells > 0) return Fail(error, SafeFormat("Program chain: %d cells but no program", cells));
  for (size_t i = 0; i < programs; ++i) {
    const unsigned entry = pgc.ProgramEntryCells[i];
    if (entry < 1 || entry > cells || (i > 0 && entry <= pgc.ProgramEntryCells[i - 1]))
      return Fail(error, SafeFormat("Program chain: program %d starts at cell %d", i + 1, entry));
  }
  if (CommandCount(pgc) > kMaxPgcCommands)
    return Fail(error,
                SafeFormat("Program chain: %d commands (at most %d allowed)", CommandCount(pgc), kMaxPgcCommands));
  for (size_t i = 0; i < cells; ++i) {
    const TPgcCell& c = pgc.Cells[i];
    if (c.CellCommand > pgc.CellCommands.size())
      return Fail(error, SafeFormat("Program chain: cell %d runs cell command %d of %d", i + 1, c.CellCommand,
                                    pgc.CellCommands.size()));
    if (c.FirstSector > c.LastVobuSector || c.LastVobuSector > c.LastSector)
      return Fail(error, SafeFormat("Program chain: cell %d has sectors %d, %d, %d out of order", i + 1,
                                    c.FirstSector, c.LastVobuSector, c.LastSector));
  }
  return true;
}

}  // namespace

size_t PgcSize(const TPgc& pgc) {
  return kPgcHeaderSize + CommandTableSize(pgc) + ProgramMapSize(pgc) + 28 * pgc.Cells.size();
}

bool WritePgc(TByteWriter& w, const TPgc& pgc, std::string* error) {
  if (!CheckPgc(pgc, error)) return false;
  const size_t start = w.Size();
  const size_t programs = pgc.ProgramEntryCells.size(), cells = pgc.Cells.size();

  int64_t total = 0;
  for (const TPgcCell& c : pgc.Cells) total += c.Duration > 0 ? c.Duration : 0;

  w.U16(0);
  w.U8(programs);
  w.U8(cells);
  if (!PutDvdTime(w, FramesOf(total, pgc.FrameRate), pgc.FrameRate, error)) return false;
  w.U32(pgc.ProhibitedUserOps);
  for (uint16_t a : pgc.AudioControl) w.U16(a);
  for (uint32_t s : pgc.SubpictureControl) w.U32(s);
  w.Zeros(8);  // next, previous and go-up chain numbers, playback mode, still time
  for (uint32_t p : pgc.Palette) w.U32(p);

  const size_t commands = CommandTableSize(pgc);
  const size_t map = ProgramMapSize(pgc);
  size_t offset = kPgcHeaderSize;
  w.U16(commands ? offset : 0);
  offset += commands;
  w.U16(programs ? offset : 0);
  offset += map;
  w.U16(cells ? offset : 0);
  offset += 24 * cells;
  w.U16(cells ? offset : 0);

  if (commands) {
    w.U16(pgc.PreCommands.size());
    w.U16(pgc.PostCommands.size());
    w.U16(pgc.CellCommands.size());
    w.U16(commands - 1);
    for (const auto* list : {&pgc.PreCommands, &pgc.PostCommands, &pgc.CellCommands})
      for (const TNavCommand& cmd : *list) w.Bytes(cmd);
  }
  for (uint8_t entry : pgc.ProgramEntryCells) w.U8(entry);
  w.Zeros(map - programs);
  for (const TPgcCell& c : pgc.Cells) {
    w.U8(c.Category);
    w.U8(0);
    w.U8(c.StillTime);
    w.U8(c.CellCommand);
    if (!PutDvdTime(w, FramesOf(c.Duration, pgc.FrameRate), pgc.FrameRate, error)) return false;
    w.U32(c.FirstSector);
    w.U32(0);  // end of the first interleaved unit: no interleaving
    w.U32(c.LastVobuSector);
    w.U32(c.LastSector);
  }
  for (const TPgcCell& c : pgc.Cells) {
    w.U16(c.VobId);
    w.U8(0);
    w.U8(c.CellId);
  }
  if (!w.Ok()) return Fail(error, "Program chain: a value does not fit its field");
  if (w.Size() - start != PgcSize(pgc))
    throw std::logic_error("Assertion failure (U_Pgc): program chain size does not add up");
  return true;
}

uint32_t TitlePgcCategory(size_t index) {
  return index == 0 ? 0x81000000u : static_cast<uint32_t>((index + 1) & 0x7F) << 24;
}

bool WriteTitlePgcTable(TByteWriter& w, const TTitlePgcTable& t, std::string* error) {
  if (t.Pgcs.empty()) return Fail(error, "Title program chain table: no program chain");
  const size_t start = w.Size();
  w.U16(t.Pgcs.size());
  w.U16(0);
  w.U32(0);
  size_t offset = 8 + 8 * t.Pgcs.size();
  for (const TTitlePgc& p : t.Pgcs) {
    w.U32(p.Category);
    w.U32(offset);
    offset += PgcSize(p.Pgc);
  }
  for (const TTitlePgc& p : t.Pgcs)
    if (!WritePgc(w, p.Pgc, error)) return false;
  w.PatchU32(start + 4, w.Size() - start - 1);
  if (!w.Ok()) return Fail(error, "Title program chain table: a value does not fit its field");
  return true;
}

bool WriteMenuPgcTable(TByteWriter& w, const TMenuPgcTable& t, std::string* error) {
  if (t.Units.empty()) return Fail(error, "Menu program chain table: no language unit");
  const size_t start = w.Size();
  w.U16(t.Units.size());
  w.U16(0);
  w.U32(0);
  const size_t pointers = w.Size();
  w.Zeros(8 * t.Units.size());
  for (size_t u = 0; u < t.Units.size(); ++u) {
    const TMenuLanguageUnit& unit = t.Units[u];
    const size_t unitStart = w.Size();
    const auto lang = LanguageCode(std::string_view(unit.Language.data(), unit.Language.size()));
    w.PatchBytes(pointers + 8 * u, lang);
    w.PatchU8(pointers + 8 * u + 3, unit.Existence);
    w.PatchU32(pointers + 8 * u + 4, unitStart - start);

    w.U16(unit.Pgcs.size());
    w.U16(0);
    w.U32(0);
    size_t offset = 8 + 8 * unit.Pgcs.size();
    for (size_t i = 0; i < unit.Pgcs.size(); ++i) {
      const TMenuPgc& p = unit.Pgcs[i];
      w.U8(p.EntryId.value_or(i == 0 ? kMenuEntryRoot : 0));
      w.Zeros(3);
      w.U32(offset);
      offset += PgcSize(p.Pgc);
    }
    for (const TMenuPgc& p : unit.Pgcs)
      if (!WritePgc(w, p.Pgc, error)) return false;
    w.PatchU32(unitStart + 4, w.Size() - unitStart - 1);
  }
  w.PatchU32(start + 4, w.Size() - start - 1);
  if (!w.Ok()) return Fail(error, "Menu program chain table: a value does not fit its field");
  return true;
}

}  // namespace vidoria
