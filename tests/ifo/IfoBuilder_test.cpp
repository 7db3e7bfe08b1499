// The IFO builder on recorded collections: the navigation it decides (command lists
// byte by byte), the folder it writes read back with libdvdread, and the builds it
// refuses. Playback of real VOBs is tested end to end with the engine.

#include "ifo/U_IfoBuilder.h"

#include "mux/U_VobuCollection.h"
#include "platform/MessageFormat.h"
#include "support/DvdRead.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace vidoria;
using test::TDvdRead;
namespace fs = std::filesystem;

namespace {

std::string Hex(const TNavCommand& c) {
  std::string s;
  for (uint8_t b : c) s += SafeFormat("%.2X ", b);
  s.pop_back();
  return s;
}
std::vector<std::string> Hex(const std::vector<TNavCommand>& cmds) {
  std::vector<std::string> out;
  for (const TNavCommand& c : cmds) out.push_back(Hex(c));
  return out;
}
std::string Hex(const vm_cmd_t& c) {
  TNavCommand t;
  std::memcpy(t.data(), c.bytes, 8);
  return Hex(t);
}

const std::string kJump1 = "30 02 00 00 00 01 00 00", kJump2 = "30 02 00 00 00 02 00 00",
                  kJump3 = "30 02 00 00 00 03 00 00", kExit = "30 01 00 00 00 00 00 00";

// A title of `cells` cells of two VOBUs of 5 sectors and 0.5 s each, one AC-3 stream,
// one sub-picture stream and a palette of white, black, red and blue.
std::shared_ptr<TVobuCollection> Recorded(int cells, int rate = 25, uint8_t vobId = 1) {
  auto palette = std::make_shared<TDVDPalette>();
  for (TRgb c : {kWhite, kBlack, TRgb{255, 0, 0}, TRgb{0, 0, 255}}) palette->Add(c);
  auto c = std::make_shared<TVobuCollection>(palette);
  c->SetFrameRate(rate);
  c->RegisterAudioStream(0, AV_CODEC_ID_AC3, 2, "en");
  c->RegisterSubpictureStream(0, "de");
  uint32_t sector = 0;
  int64_t time = 0;
  for (int cell = 1; cell <= cells; ++cell) {
    TCell k;
    k.CellId = static_cast<uint8_t>(cell);
    k.VobId = vobId;
    k.FirstSector = sector;
    k.StartTime = time;
    for (int v = 0; v < 2; ++v) {
      TVobuData d{static_cast<uint8_t>(cell), sector, vobId, time, time + 45000};
      c->AddVobu(d, 5);
      k.LastVobuSector = sector;
      sector += 5;
      time += 45000;
    }
    k.LastSector = sector - 1;
    k.Duration = time - k.StartTime;
    k.VobuCount = 2;
    c->Cells.push_back(k);
  }
  return c;
}

struct Folder {
  test::TempDir tmp;
  fs::path dir = tmp / "VIDEO_TS";
  TIfoJob job;

  // Title VOBs of the sizes the collections record (the content does not matter to
  // the IFO reader).
  explicit Folder(std::vector<int> cellsPerTitle, std::vector<int> pages = {}) {
    fs::create_directories(dir);
    job.video_ts = dir;
    for (size_t i = 0; i < cellsPerTitle.size(); ++i) {
      job.titles.push_back(Recorded(cellsPerTitle[i]));
      test::WriteFile(dir / SafeFormat("VTS_%.2d_1.VOB", i + 1),
                      std::string((job.titles.back()->LastSector + 1) * kIfoSectorSize, '\0'));
    }
    if (!pages.empty()) {
      job.with_menu = true;
      job.entries_per_page = pages;
      job.menu = Recorded(static_cast<int>(pages.size()) + 1);  // the pages and the closing still
      test::WriteFile(dir / "VIDEO_TS.VOB", std::string((job.menu->LastSector + 1) * kIfoSectorSize, '\0'));
    }
  }
};

}  // namespace

// Without a menu first play dispatches on the title that just ended. A single title
// that does not loop must stop after playing once.
TEST(IfoBuilder, FirstPlayWithoutMenu) {
  struct Case {
    size_t titles;
    bool loop;
    std::vector<std::string> commands;
  } cases[] = {
      {2, false, {"00 A1 00 00 00 01 00 04", "00 A1 00 00 00 02 00 05", kJump1, kJump2, kExit}},
      {2, true, {"00 A1 00 00 00 01 00 03", kJump1, kJump2}},
      {1, false, {"00 A1 00 00 00 01 00 03", kJump1, kExit}},
      {1, true, {kJump1}},
      {3, true, {"00 A1 00 00 00 01 00 04", "00 A1 00 00 00 02 00 05", kJump1, kJump2, kJump3}},
  };
  for (const Case& c : cases) {
    TIfoJob job;
    job.titles.resize(c.titles);
    job.loop_playback = c.loop;
    EXPECT_EQ(Hex(FirstPlayCommands(job)), c.commands) << c.titles << " titles, loop " << c.loop;
  }
}

TEST(IfoBuilder, FirstPlayWithMenu) {
  TIfoJob job;
  job.titles.resize(3);
  job.with_menu = true;
  job.entries_per_page = {2, 1};
  job.sequential_playback = true;
  job.loop_playback = false;
  job.auto_start = false;
  EXPECT_EQ(Hex(FirstPlayCommands(job)), (std::vector<std::string>{"53 00 00 00 00 00 00 00", "53 00 00 01 00 01 00 00",
                                                                    "53 00 00 00 00 02 00 00",
                                                                    "30 06 00 01 00 C0 00 00"}));
  job.auto_start = true;  // title 1's chain: M + 2 = 4
  EXPECT_EQ(Hex(FirstPlayCommands(job)).back(), "30 06 00 04 00 C0 00 00");
}

// The title menu highlights the entry of the title after the one that just played.
TEST(IfoBuilder, TitleMenuHighlightsTheNextTitle) {
  // One page of three: 5 commands, buttons 2 and 3 of page 1, then button 1.
  EXPECT_EQ(Hex(TitleMenuCommands({3}, 3)),
            (std::vector<std::string>{"00 B1 00 00 00 01 00 03", "56 04 00 00 08 00 00 02", "00 B1 00 00 00 02 00 05",
                                      "56 04 00 00 0C 00 00 02", "56 04 00 00 04 00 00 02"}));
  // Pages of 2 and 1: after title 2 the third title's entry is button 1 of page 2.
  EXPECT_EQ(Hex(TitleMenuCommands({2, 1}, 3))[3], "56 04 00 00 04 00 00 03");
  EXPECT_EQ(Hex(TitleMenuCommands({1}, 1)), (std::vector<std::string>{"56 04 00 00 04 00 00 02"}));
}

// Three titles, with and without a menu: libdvdread reads every file without
// complaint, the title sets follow each other sector by sector, and the chains hold
// what the play options ask for.
TEST(IfoBuilder, WritesAFolderThatLibdvdreadReads) {
  for (bool menu : {false, true}) {
    SCOPED_TRACE(menu ? "menu" : "no menu");
    Folder f({1, 3, 2}, menu ? std::vector<int>{3} : std::vector<int>{});
    f.job.sequential_playback = true;
    std::vector<std::string> log;
    TLoggingObject sink;
    sink.LogCallback = [&](const void*, TSeverity s, const std::string& t) {
      if (s == EVT_ERROR) log.push_back(t);
    };
    ASSERT_TRUE(MakeIfoStage()->WriteIfos(f.job, sink)) << ::testing::PrintToString(log);
    for (const char* name : {"VIDEO_TS", "VTS_01_0", "VTS_02_0", "VTS_03_0"}) {
      const std::string ifo = test::ReadFile(f.dir / (std::string(name) + ".IFO"));
      EXPECT_EQ(ifo, test::ReadFile(f.dir / (std::string(name) + ".BUP"))) << name;
      EXPECT_EQ(ifo.size() % kIfoSectorSize, 0u) << name;
    }

    TDvdRead dvd(f.tmp.path());
    ifo_handle_t* vmg = dvd.Open(0);
    ASSERT_NE(vmg, nullptr) << dvd.Reports();
    std::vector<ifo_handle_t*> vts;
    for (int i = 1; i <= 3; ++i) {
      vts.push_back(dvd.Open(i));
      ASSERT_NE(vts.back(), nullptr) << dvd.Reports();
    }
    EXPECT_EQ(dvd.Reports(), "");

    ASSERT_EQ(vmg->tt_srpt->nr_of_srpts, 3);
    uint32_t expected = 2 * (vmg->vmgi_mat->vmgi_last_sector + 1) + (menu ? 20 : 0);
    EXPECT_EQ(vmg->vmgi_mat->vmg_last_sector + 1, expected);
    for (int i = 0; i < 3; ++i) {
      const title_info_t& t = vmg->tt_srpt->title[i];
      EXPECT_EQ(t.title_set_nr, i + 1);
      EXPECT_EQ(t.nr_of_ptts, f.job.titles[i]->Cells.size());
      EXPECT_EQ(t.title_set_sector, expected) << "title set " << i + 1;
      expected += vts[i]->vtsi_mat->vts_last_sector + 1;
      EXPECT_EQ(vts[i]->vtsi_mat->vts_last_sector + 1,
                2 * (vts[i]->vtsi_mat->vtsi_last_sector + 1) + 10 * f.job.titles[i]->Cells.size());
    }

    // Title 2: chapters, cells, streams, palette and its commands.
    const pgc_t& pgc = *vts[1]->vts_pgcit->pgci_srp[0].pgc;
    EXPECT_EQ(pgc.nr_of_programs, 3);
    ASSERT_EQ(pgc.nr_of_cells, 3);
    EXPECT_EQ(pgc.playback_time.second, 0x03);
    EXPECT_EQ(pgc.cell_playback[2].first_sector, 20u);
    EXPECT_EQ(pgc.cell_playback[2].last_vobu_start_sector, 25u);
    EXPECT_EQ(pgc.cell_playback[2].last_sector, 29u);
    EXPECT_EQ(pgc.audio_control[0], 0x8000);
    EXPECT_EQ(pgc.subp_control[0], 0x80000000u);
    EXPECT_EQ(pgc.palette[0], 0x00EB8080u);  // white
    EXPECT_EQ(pgc.palette[1], 0x00108080u);  // black
    EXPECT_EQ(pgc.palette[2], 0x0051EF5Au);  // red
    EXPECT_EQ(pgc.palette[3], 0x00296EEFu);  // blue
    ASSERT_NE(pgc.command_tbl, nullptr);
    ASSERT_EQ(pgc.command_tbl->nr_of_post, 2);
    EXPECT_EQ(Hex(pgc.command_tbl->post_cmds[1]), menu ? "30 08 00 07 01 C0 00 00" : "30 08 00 00 01 00 00 00");
    EXPECT_EQ(vts[1]->vtsi_mat->nr_of_vts_audio_streams, 1);
    EXPECT_EQ(vts[1]->vtsi_mat->nr_of_vts_subp_streams, 1);
    EXPECT_EQ(vts[1]->vtsi_mat->vts_subp_attr[0].lang_code, 'd' << 8 | 'e');
    EXPECT_EQ(vts[0]->vts_tmapt, nullptr) << "1 s: too short for an entry of 4 s";
    EXPECT_EQ(vts[0]->vtsi_mat->vts_tmapt, 0u);
    ASSERT_NE(vts[1]->vts_tmapt, nullptr);
    EXPECT_EQ(vts[1]->vts_tmapt->tmap[0].tmu, 4);
    EXPECT_EQ(vts[1]->vts_tmapt->tmap[0].nr_of_entries, 1);

    if (menu) {
      const pgcit_t& menus = *vmg->pgci_ut->lu[0].pgcit;
      ASSERT_EQ(menus.nr_of_pgci_srp, 7);  // 1 page + 3 titles + 3
      EXPECT_EQ(menus.pgci_srp[0].entry_id, kMenuEntryTitle);
      EXPECT_EQ(menus.pgci_srp[0].pgc->command_tbl->nr_of_pre, 5);
      EXPECT_EQ(menus.pgci_srp[1].pgc->cell_playback[0].still_time, 0xFF);
      EXPECT_EQ(Hex(menus.pgci_srp[3].pgc->command_tbl->pre_cmds[1]), kJump2);
      EXPECT_EQ(vmg->vmgi_mat->nr_of_vmgm_subp_streams, 1);
    } else {
      EXPECT_EQ(vmg->pgci_ut, nullptr);
      EXPECT_EQ(vmg->first_play_pgc->command_tbl->nr_of_pre, 5);  // looping by default
    }
  }
}

// A build the tables cannot hold, or whose VOBs do not match what was recorded, fails
// before any IFO is written.
TEST(IfoBuilder, RefusesBuildsItCannotAuthor) {
  struct Case {
    const char* name;
    std::function<void(Folder&)> spoil;
    const char* message;
  } cases[] = {
      {"missing VOB", [](Folder& f) { fs::remove(f.dir / "VTS_02_1.VOB"); }, "is missing"},
      {"short VOB", [](Folder& f) { fs::resize_file(f.dir / "VTS_01_1.VOB", 8 * kIfoSectorSize); },
       "hold 8 sectors; 10 were written"},
      {"torn VOB", [](Folder& f) { fs::resize_file(f.dir / "VTS_01_1.VOB", 100); }, "whole number of sectors"},
      {"too many chapters", [](Folder& f) { f.job.titles[0]->Cells.resize(256); }, "at most 255"},
      {"missing menu VOB", [](Folder& f) { fs::remove(f.dir / "VIDEO_TS.VOB"); }, "menu VOB"},
      {"pages without their titles", [](Folder& f) { f.job.entries_per_page = {1}; }, "list 1 titles; the DVD has 2"},
      {"too many pages", [](Folder& f) { f.job.entries_per_page.assign(97, 1); }, "cells for 97 pages"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Folder f({1, 1}, {2});
    c.spoil(f);
    TIfoLayout layout;
    std::string error;
    EXPECT_FALSE(LayOutIfos(f.job, layout, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    TLoggingObject quiet;
    EXPECT_FALSE(TIfoBuilder().WriteIfos(f.job, quiet));
    EXPECT_FALSE(fs::exists(f.dir / "VTS_01_0.IFO"));
    EXPECT_FALSE(fs::exists(f.dir / "VIDEO_TS.IFO"));
  }
  // Without a menu and without looping, first play needs 2n + 1 commands: 64 titles
  // are one too many for a chain.
  {
    Folder many(std::vector<int>(64, 1));
    many.job.loop_playback = false;
    std::string error;
    TIfoLayout layout;
    EXPECT_FALSE(LayOutIfos(many.job, layout, &error));
    EXPECT_EQ(error, "First play needs 129 commands for 64 titles; a program chain holds at most 128.");
    many.job.loop_playback = true;
    EXPECT_TRUE(LayOutIfos(many.job, layout, &error)) << error;
  }
  // With a menu the title menu chain needs 2n - 1.
  {
    Folder many(std::vector<int>(65, 1), {65});
    std::string error;
    TIfoLayout layout;
    EXPECT_FALSE(LayOutIfos(many.job, layout, &error));
    EXPECT_EQ(error, "The title menu needs 129 commands for 65 titles; a program chain holds at most 128.");
  }
  // Pages + titles + 3 chains must fit the manager's menu table of 100.
  Folder f({1, 1}, {2});
  f.job.titles.resize(60, f.job.titles[0]);
  f.job.entries_per_page.assign(60, 1);
  f.job.menu = Recorded(61);
  std::string error;
  TIfoLayout layout;
  EXPECT_FALSE(LayOutIfos(f.job, layout, &error));
  EXPECT_EQ(error, "The menu needs 60 pages for 60 titles; use more titles per page.");
}

// A long title gets a coarser time map instead of more entries than the map holds.
TEST(IfoBuilder, TimeMapUnitGrowsWithTheTitle) {
  auto c = Recorded(1);
  c->Vobus.back().EndTime = int64_t{3} * 3600 * 90000;  // 3 h: beyond 2048 entries of 4 s
  TIfoJob job;
  job.titles = {c};
  TVtsIfo vts;
  ASSERT_TRUE(MakeTitleSetIfo(job, 1, 10, vts, nullptr));
  ASSERT_TRUE(vts.TimeMaps.has_value());
  EXPECT_EQ(vts.TimeMaps->Maps[0].Unit, 6);  // ceil(10800 / 2048)
  EXPECT_LE(vts.TimeMaps->Maps[0].Entries.size(), kMaxTimeMapEntries);
}
