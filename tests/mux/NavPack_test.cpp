#include "mux/U_NavPack.h"

#include "support/DvdRead.h"

#include <gtest/gtest.h>

extern "C" {
#include <dvdread/nav_read.h>
#include <dvdread/nav_types.h>
}

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <unistd.h>

using namespace vidoria;

namespace {

// Parses a navigation sector with libdvdread, returning what it printed (its
// CHECK_VALUE complaints go to stdout or stderr, depending on the version).
std::string ParseNav(std::vector<uint8_t>& sector, pci_t& pci, dsi_t& dsi) {
  return test::ParseNavPack(sector.data(), pci, dsi);
}

// The pointers by definition: for each interval on its own, the nearest VOBU of the
// cell at least that far away; the skip bit when the target is not adjacent to the
// previous (shorter interval's) target, or when the cell ends with VOBUs after it.
std::array<uint32_t, 19> BruteForce(const std::vector<TVobuPosition>& cell, size_t i, bool forward) {
  static const double seconds[19] = {0.5, 1, 1.5, 2, 2.5, 3, 3.5, 4, 4.5, 5, 5.5, 6, 6.5, 7, 7.5, 10, 30, 60, 120};
  std::array<uint32_t, 19> out{};
  long prev = -1;
  bool ended = false;
  for (int k = 0; k < 19; ++k) {
    const int64_t t = static_cast<int64_t>(seconds[k] * 90000);
    long target = -1;
    for (size_t j = 0; j < cell.size(); ++j) {
      if (forward && j > i && cell[j].StartTime >= cell[i].StartTime + t) {
        target = static_cast<long>(j);
        break;
      }
      if (!forward && j < i && cell[j].StartTime <= cell[i].StartTime - t) target = static_cast<long>(j);
    }
    uint32_t v;
    if (target < 0) {
      const long edge = forward ? static_cast<long>(cell.size()) - 1 : 0;
      v = 0x3FFFFFFF | (!ended && prev >= 0 && prev != edge ? 0x40000000u : 0u);
      ended = true;
    } else {
      const uint32_t d = forward ? cell[target].StartSector - cell[i].StartSector
                                 : cell[i].StartSector - cell[target].StartSector;
      const bool skip = prev >= 0 && (forward ? target > prev + 1 : target < prev - 1);
      v = 0x80000000u | d | (skip ? 0x40000000u : 0u);
      prev = target;
    }
    out[forward ? 18 - k : k] = v;
  }
  return out;
}

TNavHighlight ThreeButtons() {
  TNavHighlight h;
  for (size_t i = 0; i < 24; ++i) h.ColourTable[i] = static_cast<uint8_t>(0xA0 + i);
  for (uint8_t n = 1; n <= 3; ++n) {
    TNavButton b;
    b.Colour = 1;
    b.AutoAction = n == 2;
    b.XStart = 100 * n;
    b.XEnd = 100 * n + 80;
    b.YStart = 400;
    b.YEnd = 460;
    b.Up = b.Down = n;
    b.Left = n == 1 ? 3 : n - 1;
    b.Right = n == 3 ? 1 : n + 1;
    b.Command = {0x30, 0x02, 0, 0, 0, n, 0, 0};
    h.Buttons.push_back(b);
  }
  return h;
}

}  // namespace

// Random cells of VOBUs; every navigation pack read back by libdvdread without
// complaints, its search pointers equal to a recomputation by definition.
TEST(NavPack, LibdvdreadReadsEveryFieldAsWritten) {
  std::mt19937 rng(7);
  for (int cellNo = 0; cellNo < 4; ++cellNo) {
    std::vector<TVobuPosition> cell;
    std::vector<uint32_t> sizes;
    uint32_t sector = 1000;
    int64_t time = 0;
    const int count = cellNo == 0 ? 1 : static_cast<int>(rng() % 300) + 2;
    for (int i = 0; i < count; ++i) {
      cell.push_back({sector, time});
      sizes.push_back(rng() % 400 + 1);
      sector += sizes.back();
      time += cellNo == 3 ? 90000 + rng() % 20000 : 30000 + rng() % 60000;  // long VOBUs in cell 3
    }
    for (size_t i = 0; i < cell.size(); ++i) {
      SCOPED_TRACE(::testing::Message() << "cell " << cellNo << " vobu " << i);
      TMPEG2_Nav_Pack nav;
      nav.SetFrameRate(30);
      nav.SetLbn(cell[i].StartSector);
      nav.SetUopMask(0x00000101);
      nav.SetVobuStartPtm(static_cast<uint32_t>(cell[i].StartTime + 7200));
      nav.SetVobuEndPtm(static_cast<uint32_t>(cell[i].StartTime + 7200 + 43200));
      nav.SetCellElapsedFrames(cell[i].StartTime / 3003);
      nav.SetScrBase(1234);
      nav.SetVobuEndAddress(sizes[i] - 1);
      nav.SetReferenceEndAddresses({3, 9, 12});
      nav.SetVobCell(2, static_cast<uint8_t>(cellNo + 1));
      nav.SetVobVideoStartPtm(3003 + 7200);
      nav.SetVobVideoEndPtm(0x01020304);
      nav.SetNextVobu(i + 1 < cell.size() ? 0x80000000 | sizes[i] : 0x3FFFFFFF);
      nav.SetPrevVobu(i > 0 ? 0x80000000 | sizes[i - 1] : 0x3FFFFFFF);
      nav.SetNextVideo(i + 1 < cell.size() ? 0x80000000 | sizes[i] : kSriNoVideo);
      nav.SetPrevVideo(i > 0 ? 0x80000000 | sizes[i - 1] : kSriNoVideo);
      nav.SetForwardPointers(ForwardPointers(cell, i));
      nav.SetBackwardPointers(BackwardPointers(cell, i));
      ASSERT_TRUE(nav.SetAudioSync(7, 5));
      ASSERT_TRUE(nav.SetSubpictureSync(31, kSyncNone));
      if (cellNo == 1) {
        ASSERT_TRUE(nav.SetHighlight(ThreeButtons(), 9000));
      }

      TMPEG2_program_pack header;
      header.SetScr(1234 * 300);
      std::vector<uint8_t> s(kSectorSize);
      ASSERT_TRUE(nav.WriteSector(s, header));
      EXPECT_EQ(std::vector<uint8_t>(s.begin() + 38, s.begin() + 45),
                (std::vector<uint8_t>{0, 0, 1, 0xBF, 0x03, 0xD4, 0x00}));
      EXPECT_EQ(std::vector<uint8_t>(s.begin() + 1024, s.begin() + 1031),
                (std::vector<uint8_t>{0, 0, 1, 0xBF, 0x03, 0xFA, 0x01}));

      pci_t pci{};
      dsi_t dsi{};
      EXPECT_EQ(ParseNav(s, pci, dsi), "");
      EXPECT_EQ(pci.pci_gi.nv_pck_lbn, cell[i].StartSector);
      EXPECT_EQ(pci.pci_gi.vobu_s_ptm, cell[i].StartTime + 7200);
      EXPECT_EQ(pci.pci_gi.vobu_e_ptm, cell[i].StartTime + 7200 + 43200);
      EXPECT_EQ(pci.pci_gi.vobu_uop_ctl.title_or_time_play, 1u);
      EXPECT_EQ(pci.pci_gi.vobu_uop_ctl.forward_scan, 1u);
      EXPECT_EQ(pci.pci_gi.vobu_uop_ctl.resume, 0u);
      EXPECT_EQ(pci.pci_gi.e_eltm.frame_u >> 6, 3);
      EXPECT_EQ(std::memcmp(&pci.pci_gi.e_eltm, &dsi.dsi_gi.c_eltm, 4), 0);
      EXPECT_EQ(dsi.dsi_gi.nv_pck_scr, 1234u);
      EXPECT_EQ(dsi.dsi_gi.nv_pck_lbn, cell[i].StartSector);
      EXPECT_EQ(dsi.dsi_gi.vobu_ea, sizes[i] - 1);
      EXPECT_EQ(dsi.dsi_gi.vobu_1stref_ea, 3u);
      EXPECT_EQ(dsi.dsi_gi.vobu_2ndref_ea, 9u);
      EXPECT_EQ(dsi.dsi_gi.vobu_3rdref_ea, 12u);
      EXPECT_EQ(dsi.dsi_gi.vobu_vob_idn, 2);
      EXPECT_EQ(dsi.dsi_gi.vobu_c_idn, cellNo + 1);
      EXPECT_EQ(dsi.sml_pbi.vob_v_s_s_ptm, 3003u + 7200u);
      EXPECT_EQ(dsi.sml_pbi.vob_v_e_e_ptm, 0x01020304u);
      EXPECT_EQ(dsi.vobu_sri.next_vobu, i + 1 < cell.size() ? 0x80000000 | sizes[i] : 0x3FFFFFFFu);
      EXPECT_EQ(dsi.vobu_sri.prev_video, i > 0 ? 0x80000000 | sizes[i - 1] : 0xBFFFFFFFu);
      const auto fwd = BruteForce(cell, i, true), bwd = BruteForce(cell, i, false);
      for (int k = 0; k < 19; ++k) {
        EXPECT_EQ(dsi.vobu_sri.fwda[k], fwd[k]) << "forward " << k;
        EXPECT_EQ(dsi.vobu_sri.bwda[k], bwd[k]) << "backward " << k;
      }
      EXPECT_EQ(dsi.synci.a_synca[7], 5);
      EXPECT_EQ(dsi.synci.sp_synca[31], 0x7FFFFFFFu);
      if (cellNo == 1) {
        EXPECT_EQ(pci.hli.hl_gi.hli_ss, 1);
        EXPECT_EQ(pci.hli.hl_gi.hli_s_ptm, 9000u);
        EXPECT_EQ(pci.hli.hl_gi.hli_e_ptm, 0xFFFFFFFFu);
        EXPECT_EQ(pci.hli.hl_gi.btn_se_e_ptm, 0xFFFFFFFFu);
        EXPECT_EQ(pci.hli.hl_gi.btngr_ns, 1u);
        EXPECT_EQ(pci.hli.hl_gi.btn_ns, 3);
        EXPECT_EQ(pci.hli.hl_gi.nsl_btn_ns, 3);
        EXPECT_EQ(pci.hli.btn_colit.btn_coli[0][0], 0xA0A1A2A3u);
        EXPECT_EQ(pci.hli.btn_colit.btn_coli[2][1], 0xB4B5B6B7u);
        const btni_t& b = pci.hli.btnit[1];
        EXPECT_EQ(b.btn_coln, 1u);
        EXPECT_EQ(b.auto_action_mode, 1u);
        EXPECT_EQ(b.x_start, 200u);
        EXPECT_EQ(b.x_end, 280u);
        EXPECT_EQ(b.y_start, 400u);
        EXPECT_EQ(b.y_end, 460u);
        EXPECT_EQ(b.up, 2u);
        EXPECT_EQ(b.left, 1u);
        EXPECT_EQ(b.right, 3u);
        EXPECT_EQ(b.cmd.bytes[5], 2);
        EXPECT_EQ(pci.hli.btnit[3].x_end, 0u);
      } else {
        EXPECT_EQ(pci.hli.hl_gi.hli_ss, 0);
        EXPECT_EQ(pci.hli.hl_gi.btn_ns, 0);
      }
    }
  }
}

TEST(NavPack, LibdvdreadComplaintsAreSeen) {
  // The oracle itself: a reserved DSI byte that is not 0 must be reported.
  TMPEG2_Nav_Pack nav;
  std::vector<uint8_t> s(kSectorSize);
  ASSERT_TRUE(nav.WriteSector(s, TMPEG2_program_pack()));
  s[1031 + 26] = 1;
  pci_t pci{};
  dsi_t dsi{};
  EXPECT_NE(ParseNav(s, pci, dsi).find("CHECK_VALUE"), std::string::npos);
}

TEST(NavPack, SearchPointerEdgeCases) {
  // A VOBU alone in its cell has no targets at all.
  const std::vector<TVobuPosition> alone{{50, 0}};
  for (uint32_t v : ForwardPointers(alone, 0)) EXPECT_EQ(v, kSriNone);
  for (uint32_t v : BackwardPointers(alone, 0)) EXPECT_EQ(v, kSriNone);

  // VOBUs of 0.48 s and 10 sectors each, 500 of them (240 s).
  std::vector<TVobuPosition> cell;
  for (uint32_t i = 0; i < 500; ++i) cell.push_back({i * 10, i * 43200});
  EXPECT_EQ(BackwardPointers(cell, 2)[0], 0x80000000u + 20);  // 0.5 s back from the third: the first
  EXPECT_EQ(ForwardPointers(cell, 0)[18], 0x80000000u + 20);  // 0.5 s ahead of the first: the third
  EXPECT_EQ(ForwardPointers(cell, 300)[0] & 0x3FFFFFFF, 0x3FFFFFFFu);  // 120 s lies beyond the cell
  EXPECT_EQ(ForwardPointers(cell, 200)[0], 0xC0000000u + 2500);  // 250 VOBUs on, past the 60 s target
}

TEST(NavPack, ElapsedTimeIsBcdWithTheFrameRateCode) {
  EXPECT_EQ(ElapsedTimeBcd(((1 * 60 + 2) * 60 + 3) * 25 + 4, 25), 0x01020344u);
  EXPECT_EQ(ElapsedTimeBcd(29, 30), 0x000000E9u);
  EXPECT_EQ(ElapsedTimeBcd(int64_t{1} << 40, 25), 0x99595964u);  // held at the largest value
}

TEST(NavPack, ReferenceEndAddresses) {
  const std::vector<TPictureSector> gop{{PICT_I, 1}, {PICT_B, 40}, {PICT_B, 44}, {PICT_P, 48},
                                        {PICT_B, 60}, {PICT_P, 63}, {PICT_B, 70}};
  EXPECT_EQ(ReferenceEndAddresses(gop, 80), (std::array<uint32_t, 3>{40, 60, 70}));
  // A single picture still ends somewhere: in the VOBU's last video pack.
  const std::vector<TPictureSector> still{{PICT_I, 1}};
  EXPECT_EQ(ReferenceEndAddresses(still, 12), (std::array<uint32_t, 3>{12, 0, 0}));
  const std::vector<TPictureSector> ip{{PICT_I, 1}, {PICT_P, 30}};
  EXPECT_EQ(ReferenceEndAddresses(ip, 45), (std::array<uint32_t, 3>{30, 45, 0}));
}

TEST(NavPack, RefusesButtonsItCannotDescribe) {
  const std::array<uint8_t, kPciSize> before = [] {
    std::array<uint8_t, kPciSize> a{};
    return a;
  }();
  struct {
    const char* name;
    std::function<void(TNavHighlight&)> spoil;
  } cases[] = {
      {"37 buttons", [](TNavHighlight& h) { h.Buttons.resize(37, h.Buttons[0]); }},
      {"no buttons", [](TNavHighlight& h) { h.Buttons.clear(); }},
      {"x beyond 1023", [](TNavHighlight& h) { h.Buttons[0].XEnd = 1024; }},
      {"reversed y", [](TNavHighlight& h) { h.Buttons[2].YStart = 470; }},
      {"colour 4", [](TNavHighlight& h) { h.Buttons[1].Colour = 4; }},
      {"neighbour 4 of 3", [](TNavHighlight& h) { h.Buttons[0].Down = 4; }},
      {"neighbour 0", [](TNavHighlight& h) { h.Buttons[0].Up = 0; }},
  };
  for (const auto& c : cases) {
    TNavHighlight h = ThreeButtons();
    c.spoil(h);
    TMPEG2_Nav_Pack nav;
    EXPECT_FALSE(nav.SetHighlight(h, 0)) << c.name;
    EXPECT_TRUE(std::equal(before.begin(), before.end(), nav.Pci().begin())) << c.name;
  }
  TMPEG2_Nav_Pack nav;
  EXPECT_TRUE(nav.SetHighlight(ThreeButtons(), 0));
}
