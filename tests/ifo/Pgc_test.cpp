#include "ifo/U_Pgc.h"

#include "IfoTestBytes.h"

#include <gtest/gtest.h>

using namespace vidoria;
using namespace vidoria::test;

namespace {

TPgcCell Cell(uint8_t category, uint8_t still, int64_t duration, uint32_t first, uint32_t lastVobu, uint32_t last,
              uint16_t vob, uint8_t cell) {
  TPgcCell c;
  c.Category = category;
  c.StillTime = still;
  c.Duration = duration;
  c.FirstSector = first;
  c.LastVobuSector = lastVobu;
  c.LastSector = last;
  c.VobId = vob;
  c.CellId = cell;
  return c;
}

std::vector<uint8_t> Written(const TPgc& pgc) {
  TByteWriter w;
  std::string error;
  EXPECT_TRUE(WritePgc(w, pgc, &error)) << error;
  return w.Take();
}

}  // namespace

// A title chain as the builder makes it: 3 programs on 3 cells, 2 pre- and 2
// post-commands, two audio streams, one sub-picture stream, white and black in the
// palette. 236 + (8 + 4 x 8) + 4 + 3 x 28 = 364 bytes.
TEST(Pgc, TitleChainWithCommandsMatchesTheLayoutByteForByte) {
  TPgc pgc;
  pgc.FrameRate = 25;
  pgc.AudioControl[0] = 0x8000;
  pgc.AudioControl[1] = 0x8100;
  pgc.SubpictureControl[0] = 0x81010101;
  pgc.Palette[0] = 0x00EB8080;
  pgc.Palette[1] = 0x00108080;
  pgc.PreCommands.resize(2);
  SetGprmImmediate(pgc.PreCommands[0], 3, SET_MOV, 1);
  SetGprmFromRegister(pgc.PreCommands[1], 0, SET_MOV, Sprm(4));
  pgc.PostCommands.resize(2);
  SetGprmImmediate(pgc.PostCommands[0], 3, SET_MOV, 0);
  CallManagerPgc(pgc.PostCommands[1], 9, 1);
  pgc.ProgramEntryCells = {1, 2, 3};
  pgc.Cells = {
      Cell(kCellStcDiscontinuity, 0, 61 * 90000 + 5 * 3600, 0, 100, 120, 1, 1),  // 1:01 and 5 frames
      Cell(kCellSeamless, 0, 3600LL * 90000, 121, 200, 250, 1, 2),               // one hour
      Cell(kCellSeamless, kCellStillInfinite, 24 * 3600, 251, 251, 260, 2, 1),   // 24 frames
  };
  ASSERT_EQ(PgcSize(pgc), 364u);

  const std::vector<uint8_t> expected = Cat({
      Hex("00 00 03 03"),                    // programs, cells
      Hex("01 01 02 44"),                    // 1:01:02 and 4 frames at 25 frames/s
      Hex("00 00 00 00"),                    // prohibited user operations
      Hex("80 00 81 00"), Zeros(12),         // audio control
      Hex("81 01 01 01"), Zeros(124),        // sub-picture control
      Zeros(8),                              // next/previous/go-up chains, mode, still
      Hex("00 EB 80 80 00 10 80 80"), Zeros(56),  // palette
      Hex("00 EC 01 14 01 18 01 60"),        // offsets: commands 236, map 276, playback 280, position 352
      Hex("00 02 00 02 00 00 00 27"),        // 2 pre, 2 post, 0 cell commands, end address 39
      Hex("71 00 00 03 00 01 00 00 61 00 00 00 00 84 00 00"),
      Hex("71 00 00 03 00 00 00 00 30 08 00 09 01 C0 00 00"),
      Hex("01 02 03 00"),                    // program map, padded to even
      Hex("02 00 00 00 00 01 01 45 00 00 00 00 00 00 00 00 00 00 00 64 00 00 00 78"),
      Hex("08 00 00 00 01 00 00 40 00 00 00 79 00 00 00 00 00 00 00 C8 00 00 00 FA"),
      Hex("08 00 FF 00 00 00 00 64 00 00 00 FB 00 00 00 00 00 00 00 FB 00 00 01 04"),
      Hex("00 01 00 01 00 01 00 02 00 02 00 01"),  // cell positions
  });
  const std::vector<uint8_t> got = Written(pgc);
  EXPECT_EQ(got, expected) << "got\n" << Dump(got) << "\nexpected\n" << Dump(expected);
}

TEST(Pgc, WithoutCommandsTheProgramMapStartsAtTheEndOfTheHeader) {
  TPgc pgc;
  pgc.ProgramEntryCells = {1};
  pgc.Cells = {Cell(kCellStcDiscontinuity, 0, 90000, 0, 4, 9, 1, 1)};
  const std::vector<uint8_t> got = Written(pgc);
  ASSERT_EQ(got.size(), 236u + 2 + 28);
  EXPECT_EQ(Hex("00 00 00 EC 00 EE 01 06"), std::vector<uint8_t>(got.begin() + 228, got.begin() + 236));
  EXPECT_EQ(got[236], 1);
}

TEST(Pgc, AChainWithoutCellsHasOnlyItsCommandTable) {
  TPgc pgc;
  pgc.PreCommands.resize(1);
  JumpTitle(pgc.PreCommands[0], 1);
  const std::vector<uint8_t> got = Written(pgc);
  ASSERT_EQ(got.size(), 236u + 16);
  EXPECT_EQ(Hex("00 EC 00 00 00 00 00 00"), std::vector<uint8_t>(got.begin() + 228, got.begin() + 236));
  EXPECT_EQ(Hex("00 00 00 C0"), std::vector<uint8_t>(got.begin() + 4, got.begin() + 8));  // 0 at 30 frames/s
}

// Converting each cell and adding the frames would lose half a frame per cell.
TEST(Pgc, PlaybackTimeIsTheCellTotalConvertedOnce) {
  TPgc pgc;
  pgc.FrameRate = 30;
  pgc.ProgramEntryCells = {1};
  for (uint8_t i = 1; i <= 3; ++i) pgc.Cells.push_back(Cell(kCellSeamless, 0, 4500, i * 10, i * 10, i * 10 + 9, 1, i));
  const std::vector<uint8_t> got = Written(pgc);
  EXPECT_EQ(Hex("00 00 00 C4"), std::vector<uint8_t>(got.begin() + 4, got.begin() + 8));  // 13500 ticks = 4.5 frames
  EXPECT_EQ(Hex("00 00 00 C1"), std::vector<uint8_t>(got.begin() + 242, got.begin() + 246));  // one cell: 1.5 frames
}

TEST(Pgc, RefusesChainsAPlayerCannotFollow) {
  struct Case {
    const char* name;
    void (*change)(TPgc&);
    const char* message;
  } cases[] = {
      {"frame rate", [](TPgc& p) { p.FrameRate = 24; }, "Invalid Frame Per Second value 24 - Only 25 or 30 allowed"},
      {"129 commands", [](TPgc& p) { p.PostCommands.resize(127); }, "Program chain: 129 commands (at most 128 allowed)"},
      {"more programs than cells", [](TPgc& p) { p.ProgramEntryCells = {1, 2}; },
       "Program chain: 2 programs for 1 cells"},
      {"cells without program", [](TPgc& p) { p.ProgramEntryCells.clear(); }, "Program chain: 1 cells but no program"},
      {"entry cell out of range", [](TPgc& p) { p.ProgramEntryCells = {2}; }, "Program chain: program 1 starts at cell 2"},
      {"sectors out of order", [](TPgc& p) { p.Cells[0].LastVobuSector = 20; },
       "Program chain: cell 1 has sectors 0, 20, 9 out of order"},
      {"256 cells",
       [](TPgc& p) {
         p.Cells.assign(256, p.Cells[0]);
       },
       "Program chain: 256 cells (at most 255 allowed)"},
  };
  for (const Case& c : cases) {
    TPgc pgc;
    pgc.PreCommands.resize(2);
    pgc.ProgramEntryCells = {1};
    pgc.Cells = {Cell(kCellStcDiscontinuity, 0, 90000, 0, 4, 9, 1, 1)};
    c.change(pgc);
    TByteWriter w;
    std::string error;
    EXPECT_FALSE(WritePgc(w, pgc, &error)) << c.name;
    EXPECT_EQ(error, c.message) << c.name;
  }
}

// One language unit "en" holding the title set's menu chain: root menu entry, user
// operations 00080BC1, one command back to the video manager's menu, no cells.
// 8 + 8 + 8 + 8 + 236 + 16 = 284 bytes.
TEST(Pgc, MenuTableInLanguageUnitsMatchesTheLayoutByteForByte) {
  TMenuPgc menu;
  menu.Pgc.ProhibitedUserOps = 0x00080BC1;
  menu.Pgc.PreCommands.resize(1);
  JumpManagerPgc(menu.Pgc.PreCommands[0], 1);
  TMenuPgcTable table;
  table.Units.push_back({});
  table.Units[0].Pgcs.push_back(menu);

  const std::vector<uint8_t> expected = Cat({
      Hex("00 01 00 00 00 00 01 1B"),  // 1 unit, end address 283
      Hex("65 6E 00 80 00 00 00 10"),  // "en", menus present, unit at 16
      Hex("00 01 00 00 00 00 01 0B"),  // unit: 1 chain, end address 267 (relative to the unit)
      Hex("83 00 00 00 00 00 00 10"),  // root menu entry, chain at 16 from the unit
      Hex("00 00 00 00 00 00 00 C0 00 08 0B C1"), Zeros(16 + 128 + 8 + 64),
      Hex("00 EC 00 00 00 00 00 00"),
      Hex("00 01 00 00 00 00 00 0F 30 06 00 01 00 C0 00 00"),
  });
  TByteWriter w;
  std::string error;
  ASSERT_TRUE(WriteMenuPgcTable(w, table, &error)) << error;
  EXPECT_EQ(w.Data(), expected) << "got\n" << Dump(w.Data()) << "\nexpected\n" << Dump(expected);
}

TEST(Pgc, TitleTableCategoriesAndOffsets) {
  EXPECT_EQ(TitlePgcCategory(0), 0x81000000u);
  EXPECT_EQ(TitlePgcCategory(1), 0x02000000u);
  TTitlePgcTable table;
  for (size_t i = 0; i < 2; ++i) {
    TTitlePgc p;
    p.Category = TitlePgcCategory(i);
    p.Pgc.PreCommands.resize(i + 1);
    table.Pgcs.push_back(p);
  }
  TByteWriter w;
  std::string error;
  ASSERT_TRUE(WriteTitlePgcTable(w, table, &error)) << error;
  // Header, two pointers (first chain at 24, the second 252 bytes later), end address.
  EXPECT_EQ(Hex("00 02 00 00 00 00 02 17 81 00 00 00 00 00 00 18 02 00 00 00 00 00 01 14"),
            std::vector<uint8_t>(w.Data().begin(), w.Data().begin() + 24));
  EXPECT_EQ(w.Size(), 24u + 252 + 260);
}
