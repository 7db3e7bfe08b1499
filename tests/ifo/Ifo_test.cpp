#include "ifo/U_Ifo.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include "support/DvdRead.h"

#include <cstring>
#include <unistd.h>

using namespace vidoria;
using test::TDvdRead;
namespace fs = std::filesystem;

namespace {

constexpr uint16_t Lang(char a, char b) { return static_cast<uint16_t>(a << 8 | b); }

TPgcCell Cell(uint8_t category, int64_t duration, uint32_t first, uint32_t lastVobu, uint32_t last, uint8_t id) {
  TPgcCell c;
  c.Category = category;
  c.Duration = duration;
  c.FirstSector = first;
  c.LastVobuSector = lastVobu;
  c.LastSector = last;
  c.VobId = 1;
  c.CellId = id;
  return c;
}

// One title of two 2-second chapters in 20 sectors (VOBUs at 0, 5, 10, 15), two audio
// streams and one sub-picture stream, PAL 16:9 film.
TVtsIfo SampleTitleSet(bool timeMap) {
  TVtsIfo vts;
  vts.MenuAttributes.Video = {true, true, false};
  vts.TitleAttributes.Video = {true, true, true};
  vts.TitleAttributes.Audio = {{0x04, 0x05, 'e', 'n', 0, 0, 0, 0}, {0x04, 0x01, 'd', 'e', 0, 0, 0, 0}};
  vts.TitleAttributes.Subpictures = {{0x01, 0, 'e', 'n', 0, 0}};
  vts.TitleVobSectors = 20;
  vts.PartsOfTitle.Titles = {{{1, 1}, {1, 2}}};

  TTitlePgc title;
  title.Category = TitlePgcCategory(0);
  TPgc& pgc = title.Pgc;
  pgc.FrameRate = 25;
  pgc.AudioControl = {0x8000, 0x8100};
  pgc.SubpictureControl[0] = 0x80000000;
  pgc.Palette[0] = 0x00EB8080;
  pgc.Palette[1] = 0x00108080;
  pgc.PreCommands.resize(2);
  SetGprmImmediate(pgc.PreCommands[0], 3, SET_MOV, 1);
  SetGprmFromRegister(pgc.PreCommands[1], 0, SET_MOV, Sprm(4));
  pgc.PostCommands.resize(2);
  SetGprmImmediate(pgc.PostCommands[0], 3, SET_MOV, 0);
  CallFirstPlay(pgc.PostCommands[1], 1);
  pgc.ProgramEntryCells = {1, 2};
  pgc.Cells = {Cell(kCellStcDiscontinuity, 180000, 0, 5, 9, 1), Cell(kCellSeamless, 180000, 10, 15, 19, 2)};
  vts.TitlePgcs.Pgcs = {title};

  TMenuPgc menu;
  menu.Pgc.FrameRate = 25;
  menu.Pgc.ProhibitedUserOps = 0x00080BC1;
  menu.Pgc.PreCommands.resize(1);
  JumpManagerPgc(menu.Pgc.PreCommands[0], 1);
  vts.MenuPgcs = TMenuPgcTable{};
  vts.MenuPgcs->Units.push_back({});
  vts.MenuPgcs->Units[0].Pgcs.push_back(menu);

  if (timeMap) vts.TimeMaps = TTimeMapTable{{{4, {15}}}};
  vts.TitleCells.Cells = {{1, 1, 0, 9}, {1, 2, 10, 19}};
  vts.TitleVobus.VobuSectors = {0, 5, 10, 15};
  return vts;
}

// The manager of that title set; with menus, one still page of 10 sectors in
// VIDEO_TS.VOB behind a title menu chain.
TVmgIfo SampleManager(const TVtsIfo& vts, bool menus, size_t firstPlayCommands) {
  TVmgIfo vmg;
  vmg.MenuAttributes.Video = {true, true, false};
  vmg.FirstPlay.FrameRate = 25;
  vmg.FirstPlay.PreCommands.resize(firstPlayCommands);
  for (size_t i = 0; i < firstPlayCommands; ++i) GotoIf(vmg.FirstPlay.PreCommands[i], 0, CMP_EQ, i, 1);
  JumpTitle(vmg.FirstPlay.PreCommands.back(), 1);
  vmg.Titles.Titles = {{uint8_t(menus ? 0x3C : 0x14), 1, 2, 0, 1, 1, 0}};
  vmg.TitleSetAttributes.TitleSets = {TitleSetAttributesOf(vts)};
  if (menus) {
    vmg.MenuAttributes.Audio = {{0x04, 0x01, 'e', 'n', 0, 0, 0, 0}};
    vmg.MenuAttributes.Subpictures = {{0x01, 0, 'e', 'n', 0, 0}};
    TMenuPgc titleMenu;
    titleMenu.EntryId = kMenuEntryTitle;
    titleMenu.Pgc.FrameRate = 25;
    titleMenu.Pgc.PreCommands.resize(1);
    HighlightAndLinkPgc(titleMenu.Pgc.PreCommands[0], 1, 2);
    TMenuPgc page;
    page.Pgc.FrameRate = 25;
    page.Pgc.ProgramEntryCells = {1};
    TPgcCell still = Cell(kCellStcDiscontinuity, 90000, 0, 0, 9, 1);
    still.StillTime = kCellStillInfinite;
    page.Pgc.Cells = {still};
    vmg.MenuPgcs = TMenuPgcTable{};
    vmg.MenuPgcs->Units.push_back({});
    vmg.MenuPgcs->Units[0].Pgcs = {titleMenu, page};
    vmg.MenuCells = TCellAddressTable{{{1, 1, 0, 9}}};
    vmg.MenuVobus = TVobuAddressMap{{0}};
    vmg.MenuVobSectors = 10;
  }
  return vmg;
}

void WriteSectors(const fs::path& file, size_t sectors) {
  test::WriteFile(file, std::string(sectors * kIfoSectorSize, '\0'));
}

// Writes VIDEO_TS with both IFO pairs and zero-filled VOBs of the right sizes; the
// title set's start sector depends on the manager's size, so the manager is laid out
// twice, as the builder does.
fs::path WriteFolder(const fs::path& root, const TVtsIfo& vts, TVmgIfo vmg) {
  const fs::path dir = root / "VIDEO_TS";
  fs::create_directories(dir);
  std::vector<uint8_t> vtsBytes, vmgBytes;
  std::string error;
  EXPECT_TRUE(BuildVtsIfo(vts, vtsBytes, &error)) << error;
  EXPECT_TRUE(BuildVmgIfo(vmg, vmgBytes, &error)) << error;
  vmg.Titles.Titles[0].TitleSetSector = static_cast<uint32_t>(2 * vmgBytes.size() / kIfoSectorSize) + vmg.MenuVobSectors;
  EXPECT_TRUE(BuildVmgIfo(vmg, vmgBytes, &error)) << error;
  EXPECT_TRUE(SaveIfoAndBackup(dir / VtsIfoName(1), vtsBytes, &error)) << error;
  EXPECT_TRUE(SaveIfoAndBackup(dir / VmgIfoName(), vmgBytes, &error)) << error;
  WriteSectors(dir / "VTS_01_1.VOB", vts.TitleVobSectors);
  if (vmg.MenuVobSectors) WriteSectors(dir / "VIDEO_TS.VOB", vmg.MenuVobSectors);
  return dir;
}

uint32_t Entries(uint32_t lastByte, uint32_t header, uint32_t entry) { return (lastByte + 1 - header) / entry; }

}  // namespace

TEST(Ifo, NamesOfTheFiles) {
  EXPECT_EQ(VmgIfoName(), "VIDEO_TS.IFO");
  EXPECT_EQ(VtsIfoName(7), "VTS_07_0.IFO");
}

// The folder read back by an independent reader: every table found where the header
// says, entry counts as written (readers derive them from the end addresses), and not
// one consistency complaint.
TEST(Ifo, LibdvdreadReadsTheFilesBackWithoutComplaint) {
  struct Case {
    bool menus, timeMap;
  } cases[] = {{true, true}, {false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "menus " << c.menus << ", time map " << c.timeMap);
    test::TempDir tmp;
    const TVtsIfo vts = SampleTitleSet(c.timeMap);
    const fs::path dir = WriteFolder(tmp.path(), vts, SampleManager(vts, c.menus, 3));
    for (const char* name : {"VIDEO_TS", "VTS_01_0"}) {
      const std::string ifo = test::ReadFile(dir / (std::string(name) + ".IFO"));
      EXPECT_EQ(ifo, test::ReadFile(dir / (std::string(name) + ".BUP"))) << name;
      EXPECT_EQ(ifo.size() % kIfoSectorSize, 0u) << name;
      // Readable like the VOBs beside them, not private to the user.
      EXPECT_EQ(fs::status(dir / (std::string(name) + ".BUP")).permissions(), fs::status(dir / "VTS_01_1.VOB").permissions());
    }

    TDvdRead dvd(tmp.path());
    ifo_handle_t* vmg = dvd.Open(0);
    ifo_handle_t* ts = dvd.Open(1);
    ASSERT_NE(vmg, nullptr) << dvd.Reports();
    ASSERT_NE(ts, nullptr) << dvd.Reports();
    EXPECT_EQ(dvd.Reports(), "");

    // Manager: header and tables.
    const vmgi_mat_t& m = *vmg->vmgi_mat;
    const uint32_t vmgSectors = c.menus ? 6 : 3;
    EXPECT_EQ(m.vmgi_last_sector, vmgSectors - 1);
    EXPECT_EQ(m.vmg_last_sector, 2 * vmgSectors + (c.menus ? 10 : 0) - 1);
    EXPECT_EQ(m.specification_version, 0x11);
    EXPECT_EQ(m.vmg_nr_of_title_sets, 1);
    EXPECT_EQ(std::string(m.provider_identifier, 12), "QOR SOFTWARE");
    EXPECT_EQ(m.first_play_pgc, 1024u);
    EXPECT_EQ(m.vmgi_last_byte, 1024u + 236 + 8 + 3 * 8 - 1);
    EXPECT_EQ(m.tt_srpt, 1u);
    EXPECT_EQ(m.vmgm_vobs, c.menus ? vmgSectors : 0);
    EXPECT_EQ(m.vmgm_pgci_ut, c.menus ? 2u : 0u);
    EXPECT_EQ(m.vts_atrt, c.menus ? 3u : 2u);
    EXPECT_EQ(m.vmgm_c_adt, c.menus ? 4u : 0u);
    EXPECT_EQ(m.vmgm_vobu_admap, c.menus ? 5u : 0u);
    EXPECT_EQ(m.vmgm_video_attr.mpeg_version, 1);
    EXPECT_EQ(m.vmgm_video_attr.video_format, 1);
    EXPECT_EQ(m.vmgm_video_attr.display_aspect_ratio, 3);
    EXPECT_EQ(m.nr_of_vmgm_audio_streams, c.menus ? 1 : 0);
    EXPECT_EQ(m.nr_of_vmgm_subp_streams, c.menus ? 1 : 0);

    ASSERT_NE(vmg->first_play_pgc, nullptr);
    ASSERT_NE(vmg->first_play_pgc->command_tbl, nullptr);
    EXPECT_EQ(vmg->first_play_pgc->command_tbl->nr_of_pre, 3);
    EXPECT_EQ(0, memcmp(vmg->first_play_pgc->command_tbl->pre_cmds[2].bytes, "\x30\x02\x00\x00\x00\x01\x00\x00", 8));

    ASSERT_NE(vmg->tt_srpt, nullptr);
    ASSERT_EQ(vmg->tt_srpt->nr_of_srpts, 1);
    EXPECT_EQ(vmg->tt_srpt->title[0].nr_of_ptts, 2);
    EXPECT_EQ(vmg->tt_srpt->title[0].title_set_nr, 1);
    EXPECT_EQ(vmg->tt_srpt->title[0].title_set_sector, 2 * vmgSectors + (c.menus ? 10 : 0));

    ASSERT_NE(vmg->vts_atrt, nullptr);
    ASSERT_EQ(vmg->vts_atrt->nr_of_vtss, 1);
    EXPECT_EQ(vmg->vts_atrt->vts[0].nr_of_vtstt_audio_streams, 2);
    EXPECT_EQ(vmg->vts_atrt->vts[0].vtstt_audio_attr[1].lang_code, Lang('d', 'e'));
    EXPECT_EQ(vmg->vts_atrt->vts[0].nr_of_vtstt_subp_streams, 1);

    if (c.menus) {
      ASSERT_NE(vmg->pgci_ut, nullptr);
      ASSERT_EQ(vmg->pgci_ut->nr_of_lus, 1);
      EXPECT_EQ(vmg->pgci_ut->lu[0].lang_code, Lang('e', 'n'));
      EXPECT_EQ(vmg->pgci_ut->lu[0].exists, 0x80);
      const pgcit_t& menus = *vmg->pgci_ut->lu[0].pgcit;
      ASSERT_EQ(menus.nr_of_pgci_srp, 2);
      EXPECT_EQ(menus.pgci_srp[0].entry_id, kMenuEntryTitle);
      EXPECT_EQ(menus.pgci_srp[1].entry_id, 0);
      ASSERT_EQ(menus.pgci_srp[1].pgc->nr_of_cells, 1);
      EXPECT_EQ(menus.pgci_srp[1].pgc->cell_playback[0].still_time, 0xFF);
      ASSERT_NE(vmg->menu_c_adt, nullptr);
      EXPECT_EQ(Entries(vmg->menu_c_adt->last_byte, 8, 12), 1u);
      ASSERT_NE(vmg->menu_vobu_admap, nullptr);
      EXPECT_EQ(Entries(vmg->menu_vobu_admap->last_byte, 4, 4), 1u);
    } else {
      EXPECT_EQ(vmg->pgci_ut, nullptr);
    }

    // Title set: header and tables.
    const vtsi_mat_t& t = *ts->vtsi_mat;
    const uint32_t vtsSectors = c.timeMap ? 7 : 6;
    EXPECT_EQ(t.vtsi_last_sector, vtsSectors - 1);
    EXPECT_EQ(t.vts_last_sector, 2 * vtsSectors + 20 - 1);
    EXPECT_EQ(t.vtsm_vobs, 0u);
    EXPECT_EQ(t.vtstt_vobs, vtsSectors);
    EXPECT_EQ(t.vts_ptt_srpt, 1u);
    EXPECT_EQ(t.vts_pgcit, 2u);
    EXPECT_EQ(t.vtsm_pgci_ut, 3u);
    EXPECT_EQ(t.vts_tmapt, c.timeMap ? 4u : 0u);
    EXPECT_EQ(t.vts_c_adt, c.timeMap ? 5u : 4u);
    EXPECT_EQ(t.vts_vobu_admap, c.timeMap ? 6u : 5u);
    EXPECT_EQ(t.vts_video_attr.film_mode, 1);
    EXPECT_EQ(t.vtsm_video_attr.film_mode, 0);
    EXPECT_EQ(t.nr_of_vts_audio_streams, 2);
    EXPECT_EQ(t.vts_audio_attr[0].channels, 5);
    EXPECT_EQ(t.nr_of_vts_subp_streams, 1);
    EXPECT_EQ(t.vts_subp_attr[0].lang_code, Lang('e', 'n'));
    EXPECT_EQ(t.nr_of_vtsm_audio_streams, 0);

    ASSERT_NE(ts->vts_ptt_srpt, nullptr);
    ASSERT_EQ(ts->vts_ptt_srpt->nr_of_srpts, 1);
    ASSERT_EQ(ts->vts_ptt_srpt->title[0].nr_of_ptts, 2);
    EXPECT_EQ(ts->vts_ptt_srpt->title[0].ptt[1].pgn, 2);

    ASSERT_NE(ts->vts_pgcit, nullptr);
    ASSERT_EQ(ts->vts_pgcit->nr_of_pgci_srp, 1);
    EXPECT_EQ(ts->vts_pgcit->pgci_srp[0].entry_id, 0x81);
    const pgc_t& pgc = *ts->vts_pgcit->pgci_srp[0].pgc;
    EXPECT_EQ(pgc.nr_of_programs, 2);
    ASSERT_EQ(pgc.nr_of_cells, 2);
    EXPECT_EQ(pgc.playback_time.second, 0x04);
    EXPECT_EQ(pgc.playback_time.frame_u, 0x40);
    EXPECT_EQ(pgc.program_map[1], 2);
    EXPECT_EQ(pgc.cell_playback[1].first_sector, 10u);
    EXPECT_EQ(pgc.cell_playback[1].last_vobu_start_sector, 15u);
    EXPECT_EQ(pgc.cell_playback[1].last_sector, 19u);
    EXPECT_EQ(pgc.cell_playback[0].stc_discontinuity, 1);
    EXPECT_EQ(pgc.cell_playback[1].seamless_play, 1);
    EXPECT_EQ(pgc.cell_position[1].cell_nr, 2);
    EXPECT_EQ(pgc.palette[0], 0x00EB8080u);
    EXPECT_EQ(pgc.audio_control[1], 0x8100);
    ASSERT_NE(pgc.command_tbl, nullptr);
    EXPECT_EQ(pgc.command_tbl->nr_of_post, 2);

    ASSERT_NE(ts->pgci_ut, nullptr);
    EXPECT_EQ(ts->pgci_ut->lu[0].pgcit->pgci_srp[0].entry_id, kMenuEntryRoot);
    EXPECT_EQ(ts->pgci_ut->lu[0].pgcit->pgci_srp[0].pgc->prohibited_ops.title_or_time_play, 1);

    if (c.timeMap) {
      ASSERT_NE(ts->vts_tmapt, nullptr);
      ASSERT_EQ(ts->vts_tmapt->nr_of_tmaps, 1);
      EXPECT_EQ(ts->vts_tmapt->tmap[0].tmu, 4);
      ASSERT_EQ(ts->vts_tmapt->tmap[0].nr_of_entries, 1);
      EXPECT_EQ(ts->vts_tmapt->tmap[0].map_ent[0], 15u);
    } else {
      EXPECT_EQ(ts->vts_tmapt, nullptr);
    }
    ASSERT_NE(ts->vts_c_adt, nullptr);
    EXPECT_EQ(ts->vts_c_adt->nr_of_vobs, 1);
    EXPECT_EQ(Entries(ts->vts_c_adt->last_byte, 8, 12), 2u);
    ASSERT_NE(ts->vts_vobu_admap, nullptr);
    EXPECT_EQ(Entries(ts->vts_vobu_admap->last_byte, 4, 4), 4u);
  }
}

// 128 commands take the first-play chain past the end of sector 0: the management
// table grows by a sector and the tables behind it move up.
TEST(Ifo, LongFirstPlayChainGrowsTheManagementTable) {
  test::TempDir tmp;
  const TVtsIfo vts = SampleTitleSet(true);
  WriteFolder(tmp.path(), vts, SampleManager(vts, false, kMaxPgcCommands));
  TDvdRead dvd(tmp.path());
  ifo_handle_t* vmg = dvd.Open(0);
  ASSERT_NE(vmg, nullptr) << dvd.Reports();
  EXPECT_EQ(dvd.Reports(), "");
  EXPECT_EQ(vmg->vmgi_mat->vmgi_last_byte, 1024u + 236 + 8 + 128 * 8 - 1);
  EXPECT_EQ(vmg->vmgi_mat->tt_srpt, 2u);
  EXPECT_EQ(vmg->vmgi_mat->vts_atrt, 3u);
  ASSERT_NE(vmg->first_play_pgc, nullptr);
  EXPECT_EQ(vmg->first_play_pgc->command_tbl->nr_of_pre, 128);
  EXPECT_EQ(0, memcmp(vmg->first_play_pgc->command_tbl->pre_cmds[127].bytes, "\x30\x02\x00\x00\x00\x01\x00\x00", 8));
}

TEST(Ifo, RefusesInconsistentFiles) {
  std::vector<uint8_t> out;
  std::string error;
  TVtsIfo vts = SampleTitleSet(false);
  vts.TitleVobSectors = 0;
  EXPECT_FALSE(BuildVtsIfo(vts, out, &error));
  EXPECT_EQ(error, "Title set IFO: the title set has no title VOB");

  vts = SampleTitleSet(false);
  vts.MenuAttributes.Audio.resize(2);
  EXPECT_FALSE(BuildVtsIfo(vts, out, &error));
  EXPECT_EQ(error, "2 audio streams where at most 1 are allowed");

  TVmgIfo vmg = SampleManager(vts, false, 1);
  vmg.Titles.Titles[0].TitleSet = 2;
  EXPECT_FALSE(BuildVmgIfo(vmg, out, &error));
  EXPECT_EQ(error, "Video manager IFO: a title refers to title set 2 of 1");
}

TEST(Ifo, SaveFailsWhenAFileCannotBeWritten) {
  test::TempDir tmp;
  test::WriteFile(tmp / "VIDEO_TS", "a file where the folder should be");
  const std::vector<uint8_t> bytes(kIfoSectorSize, 0);
  std::string error;
  EXPECT_FALSE(SaveIfoAndBackup(tmp / "VIDEO_TS" / "VIDEO_TS.IFO", bytes, &error));
  EXPECT_FALSE(error.empty());

  // A read-only folder: creating the IFO fails, and no BUP appears either.
  const fs::path dir = tmp / "ro";
  fs::create_directories(dir);
  fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
  if (access(dir.c_str(), W_OK) != 0) {  // rights that ignore permissions cannot test this
    EXPECT_FALSE(SaveIfoAndBackup(dir / "VTS_01_0.IFO", bytes, &error));
    EXPECT_FALSE(fs::exists(dir / "VTS_01_0.BUP"));
  }
  fs::permissions(dir, fs::perms::owner_all);

  EXPECT_FALSE(SaveIfoAndBackup(tmp / "x.IFO", std::vector<uint8_t>(100), &error));
  EXPECT_EQ(error, "IFO of 100 bytes is not a whole number of sectors");
}

// The complaint check above is only worth something if complaints reach it: a menu
// block claiming two audio streams must be reported.
TEST(Ifo, ReaderComplaintsAreCaught) {
  test::TempDir tmp;
  const TVtsIfo vts = SampleTitleSet(false);
  const fs::path dir = WriteFolder(tmp.path(), vts, SampleManager(vts, false, 1));
  for (const char* name : {"VIDEO_TS.IFO", "VIDEO_TS.BUP"}) {
    std::string bytes = test::ReadFile(dir / name);
    bytes[259] = 2;  // number of menu audio streams
    test::WriteFile(dir / name, bytes);
  }
  TDvdRead dvd(tmp.path());
  dvd.Open(0);
  EXPECT_NE(dvd.Reports().find("nr_of_vmgm_audio_streams"), std::string::npos) << dvd.Reports();
}
