#include "menus/U_Menu_50.h"

#include "mux/U_VobuCollection.h"
#include "support/TestSupport.h"

#include "support/DvdRead.h"

#include <gtest/gtest.h>

extern "C" {
#include <dvdread/nav_read.h>
#include <dvdread/nav_types.h>
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace vidoria {
namespace {

using test::TempDir;

const std::string kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

std::vector<std::string> Names(int n) {
  std::vector<std::string> v;
  for (int i = 1; i <= n; ++i) v.push_back("Title " + std::to_string(i));
  return v;
}

// Parses the PCI of a navigation sector with libdvdread; returns what it complained.
std::string ReadPci(const uint8_t* sector, pci_t& pci) { return test::ParseNavPci(sector, pci); }

// Number of the VOB a navigation sector belongs to, from its DSI.
int VobIdOf(const uint8_t* sector) {
  dsi_t dsi{};
  navRead_DSI(&dsi, const_cast<uint8_t*>(sector) + 1031);
  return dsi.dsi_gi.vobu_vob_idn;
}

class MenuEncode : public ::testing::Test {
 protected:
  TempDir dir;
  std::vector<std::pair<TSeverity, std::string>> log;
  TDVD_Menu_collection menu{true};

  void SetUp() override {
    menu.LogCallback = [this](const void*, TSeverity s, const std::string& t) { log.emplace_back(s, t); };
    menu.TitleFont.Name = kDejaVu;
    menu.ItemsFont.Name = kDejaVu;
    menu.MenuTitle = "Holidays";
  }
  int Errors() const {
    int n = 0;
    for (const auto& e : log) n += e.first >= EVT_ERROR && e.first <= EVT_CRITICAL;
    return n;
  }
};

// Expected highlight of every page, from the page model.
std::vector<TNavHighlight> Highlights(TDVD_Menu_collection& menu) {
  std::vector<TNavHighlight> h;
  for (int p = 0; p < menu.PageCount(); ++p) h.push_back(menu.Page(p).NavHighlight());
  return h;
}

TEST_F(MenuEncode, TwoPalPagesMakeAVobThatPlayersAndToolsRead) {
  ASSERT_EQ(menu.BuildPages(Names(6)), 2);
  const auto expected = Highlights(menu);
  const auto file = dir / "VIDEO_TS.VOB";
  const auto vobus = menu.EncodeMenus(file, false);
  ASSERT_TRUE(vobus);
  EXPECT_EQ(Errors(), 0);

  // Two page cells and the closing still, one VOB each.
  ASSERT_EQ(vobus->Cells.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(vobus->Cells[i].VobId, i + 1);
  EXPECT_EQ(int64_t(vobus->LastSector + 1) * 2048, int64_t(std::filesystem::file_size(file)));

  // ffprobe: MPEG-2 video at 720 × 576, 250 frames a page plus the still, and the
  // highlight stream 0x20.
  std::string out;
  ASSERT_EQ(test::RunCommand("ffprobe -v error -count_frames -show_entries "
                             "stream=codec_name,codec_type,width,height,id,nb_read_frames -of compact=p=0 '" +
                                 file.string() + "'",
                             &out),
            0)
      << out;
  EXPECT_NE(out.find("codec_name=mpeg2video|codec_type=video|width=720|height=576|id=0x1e0|nb_read_frames=501"),
            std::string::npos)
      << out;
  const size_t sub = out.find("codec_name=dvd_subtitle|codec_type=subtitle|");
  ASSERT_NE(sub, std::string::npos) << out;
  EXPECT_NE(out.substr(sub, out.find('\n', sub) - sub).find("|id=0x20|"), std::string::npos) << out;
  EXPECT_EQ(out.find("audio"), std::string::npos) << out;

  // Every navigation pack of a page names that page's buttons; libdvdread takes them
  // without complaint.
  const std::string data = test::ReadFile(file);
  ASSERT_EQ(data.size() % 2048, 0u);
  std::map<int, int> navPacksWithButtons;
  for (size_t at = 0; at < data.size(); at += 2048) {
    const auto* sector = reinterpret_cast<const uint8_t*>(data.data() + at);
    if (!(sector[14] == 0 && sector[15] == 0 && sector[16] == 1 && sector[17] == 0xBB)) continue;
    pci_t pci{};
    EXPECT_EQ(ReadPci(sector, pci), "") << "sector " << at / 2048;
    const int vob = VobIdOf(sector);
    if (vob == 3) {
      EXPECT_EQ(pci.hli.hl_gi.hli_ss, 0) << "the still has no buttons";
      continue;
    }
    ASSERT_TRUE(vob == 1 || vob == 2) << vob;
    const TNavHighlight& want = expected[size_t(vob - 1)];
    ASSERT_EQ(pci.hli.hl_gi.hli_ss, 1);
    ASSERT_EQ(pci.hli.hl_gi.btn_ns, want.Buttons.size());
    ++navPacksWithButtons[vob];
    for (int set = 0; set < 3; ++set)
      for (int kind = 0; kind < 2; ++kind) {
        const uint8_t* w = want.ColourTable.data() + 8 * set + 4 * kind;
        EXPECT_EQ(pci.hli.btn_colit.btn_coli[set][kind], uint32_t(w[0]) << 24 | w[1] << 16 | w[2] << 8 | w[3]);
      }
    for (size_t b = 0; b < want.Buttons.size(); ++b) {
      const btni_t& got = pci.hli.btnit[b];
      const TNavButton& w = want.Buttons[b];
      SCOPED_TRACE("page " + std::to_string(vob) + " button " + std::to_string(b + 1));
      EXPECT_EQ(got.btn_coln, w.Colour);
      EXPECT_EQ(got.x_start, w.XStart);
      EXPECT_EQ(got.x_end, w.XEnd);
      EXPECT_EQ(got.y_start, w.YStart);
      EXPECT_EQ(got.y_end, w.YEnd);
      EXPECT_EQ(got.up, w.Up);
      EXPECT_EQ(got.down, w.Down);
      EXPECT_EQ(got.left, w.Left);
      EXPECT_EQ(got.right, w.Right);
      EXPECT_EQ(std::vector<uint8_t>(got.cmd.bytes, got.cmd.bytes + 8),
                std::vector<uint8_t>(w.Command.begin(), w.Command.end()));
    }
  }
  // 10 s of 12-frame GOPs: about 21 VOBUs a page, all with the page's buttons.
  EXPECT_GE(navPacksWithButtons[1], 15);
  EXPECT_GE(navPacksWithButtons[2], 15);
}

TEST_F(MenuEncode, NtscPagesHave300Frames) {
  menu.SetStandard(false);
  ASSERT_EQ(menu.BuildPages(Names(1)), 1);
  const auto file = dir / "VIDEO_TS.VOB";
  ASSERT_TRUE(menu.EncodeMenus(file, false));
  std::string out;
  ASSERT_EQ(test::RunCommand("ffprobe -v error -count_frames -select_streams v -show_entries "
                             "stream=width,height,nb_read_frames -of compact=p=0 '" + file.string() + "'",
                             &out),
            0);
  EXPECT_NE(out.find("width=720|height=480|nb_read_frames=301"), std::string::npos) << out;
}

// The highlight units decoded by libavcodec: forced, and each button's shape at its
// rectangle in the frame.
TEST_F(MenuEncode, HighlightUnitShowsTheShapesAtTheirRectangles) {
  ASSERT_EQ(menu.BuildPages(Names(6)), 2);
  const auto expected = Highlights(menu);
  const auto file = dir / "VIDEO_TS.VOB";
  ASSERT_TRUE(menu.EncodeMenus(file, false));

  AVFormatContext* fmt = nullptr;
  ASSERT_EQ(avformat_open_input(&fmt, file.c_str(), nullptr, nullptr), 0);
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> fmtGuard(
      fmt, [](AVFormatContext* f) { avformat_close_input(&f); });
  ASSERT_GE(avformat_find_stream_info(fmt, nullptr), 0);
  int sub = -1;
  for (unsigned i = 0; i < fmt->nb_streams; ++i)
    if (fmt->streams[i]->codecpar->codec_id == AV_CODEC_ID_DVD_SUBTITLE) sub = int(i);
  ASSERT_GE(sub, 0);
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_DVD_SUBTITLE);
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> dec(avcodec_alloc_context3(codec),
                                                                   [](AVCodecContext* c) { avcodec_free_context(&c); });
  ASSERT_EQ(avcodec_parameters_to_context(dec.get(), fmt->streams[sub]->codecpar), 0);
  // The palette a player takes from the IFO files.
  std::string palette;
  for (TColor32 c : kMenuPagePalette) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%06x", unsigned(c & 0xFFFFFF));
    palette += (palette.empty() ? "" : ",") + std::string(hex);
  }
  ASSERT_GE(av_opt_set(dec->priv_data, "palette", palette.c_str(), 0), 0);
  ASSERT_EQ(avcodec_open2(dec.get(), codec, nullptr), 0);

  AVPacket* pkt = av_packet_alloc();
  int units = 0;
  while (av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == sub) {
      AVSubtitle s{};
      int got = 0;
      ASSERT_GE(avcodec_decode_subtitle2(dec.get(), &s, &got, pkt), 0);
      if (got) {
        SCOPED_TRACE("unit " + std::to_string(units));
        ASSERT_LT(units, 2);
        ASSERT_EQ(s.num_rects, 1u);
        const AVSubtitleRect* r = s.rects[0];
        EXPECT_TRUE(r->flags & AV_SUBTITLE_FLAG_FORCED);
        for (const TNavButton& b : expected[size_t(units)].Buttons) {
          // The middle of the shape, 7 pixels in from its top-left corner.
          const int x = b.XStart + 7 - r->x, y = b.YStart + 7 - r->y;
          ASSERT_TRUE(x >= 0 && y >= 0 && x < r->w && y < r->h) << x << "," << y;
          const uint8_t index = r->data[0][size_t(y) * size_t(r->linesize[0]) + size_t(x)];
          const uint32_t argb = reinterpret_cast<const uint32_t*>(r->data[1])[index];
          EXPECT_EQ(argb >> 24, 0xFFu);                 // opaque
          EXPECT_EQ(argb & 0xFFFFFF, 0xFFFF9Bu);  // pale yellow, page palette entry 4
          // Just left of the shape: nothing.
          if (x - 8 >= 0) {
            const uint8_t outside = r->data[0][size_t(y) * size_t(r->linesize[0]) + size_t(x - 8)];
            EXPECT_EQ(reinterpret_cast<const uint32_t*>(r->data[1])[outside] >> 24, 0u);
          }
        }
        ++units;
      }
      avsubtitle_free(&s);
    }
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  EXPECT_EQ(units, 2);

  // spuunmux, an independent reader, sees the units as forced.
  std::string out;
  const auto prefix = dir / "spu";
  ASSERT_EQ(test::RunCommand("cd '" + dir.path().string() + "' && spuunmux -o '" + prefix.string() + "' '" +
                                 file.string() + "'",
                             &out),
            0)
      << out;
  const std::string xml = test::ReadFile(prefix.string() + ".xml");
  size_t forced = 0;
  for (size_t at = 0; (at = xml.find("force=\"yes\"", at)) != std::string::npos; ++at) ++forced;
  EXPECT_EQ(forced, 2u) << xml;
}

TEST_F(MenuEncode, CancelEndsTheRunWithoutAResult) {
  ASSERT_EQ(menu.BuildPages(Names(2)), 1);
  int polls = 0;
  menu.Cancelled = [&] { return ++polls > 20; };
  EXPECT_FALSE(menu.EncodeMenus(dir / "VIDEO_TS.VOB", false));
  EXPECT_EQ(polls, 21);
}

TEST_F(MenuEncode, AnUnwritableFileFailsTheRun) {
  ASSERT_EQ(menu.BuildPages(Names(2)), 1);
  // A folder in the file's place, with something in it.
  test::WriteFile(dir / "VIDEO_TS.VOB" / "x", "x");
  EXPECT_FALSE(menu.EncodeMenus(dir / "VIDEO_TS.VOB", false));
  EXPECT_GE(Errors(), 1);
}

}  // namespace
}  // namespace vidoria
