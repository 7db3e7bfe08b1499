// Text events all the way to sub-picture units, read back with libavcodec's DVD
// subtitle decoder: colours, outline, shadow and the display times.
#include "common/U_DVDPalette.h"
#include "platform/CodePages.h"
#include "subtitles/U_SubtitleMap8.h"
#include "subtitles/U_Subtitles.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <map>

namespace vidoria {
namespace {

using test::TempDir;
using test::WriteFile;

const char* const kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

struct Decoded {
  bool ok = false;
  uint32_t start = 0, end = 0;  // ms, as the decoder reads the control sequences
  int x = 0, y = 0, w = 0, h = 0;
  std::vector<uint32_t> argb;  // w × h
  uint32_t At(int px, int py) const {
    px -= x, py -= y;
    return (px < 0 || py < 0 || px >= w || py >= h) ? 0 : argb[size_t(py) * size_t(w) + size_t(px)];
  }
  std::map<uint32_t, int> Histogram() const {
    std::map<uint32_t, int> h;
    for (uint32_t c : argb) ++h[c];
    return h;
  }
};

Decoded Decode(const std::vector<uint8_t>& unit, const TDVDPalette& palette) {
  Decoded out;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_DVD_SUBTITLE);
  if (!codec) return out;
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> ctx(avcodec_alloc_context3(codec),
                                                                  [](AVCodecContext* c) { avcodec_free_context(&c); });
  std::string hex;
  for (size_t i = 0; i < 16; ++i) {
    char entry[8];
    snprintf(entry, sizeof entry, "%06x", palette.Item(i).ToRgb());
    hex += (i ? "," : "") + std::string(entry);
  }
  AVDictionary* options = nullptr;
  av_dict_set(&options, "palette", hex.c_str(), 0);
  const int opened = avcodec_open2(ctx.get(), codec, &options);
  av_dict_free(&options);
  if (opened < 0) return out;
  std::vector<uint8_t> data = unit;
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
  packet->data = data.data();
  packet->size = static_cast<int>(data.size());
  AVSubtitle sub{};
  int got = 0;
  if (avcodec_decode_subtitle2(ctx.get(), &sub, &got, packet.get()) < 0 || !got || sub.num_rects != 1) {
    if (got) avsubtitle_free(&sub);
    return out;
  }
  const AVSubtitleRect* r = sub.rects[0];
  out.ok = true;
  out.start = sub.start_display_time;
  out.end = sub.end_display_time;
  out.x = r->x, out.y = r->y, out.w = r->w, out.h = r->h;
  const auto* colours = reinterpret_cast<const uint32_t*>(r->data[1]);
  for (int yy = 0; yy < r->h; ++yy)
    for (int xx = 0; xx < r->w; ++xx) out.argb.push_back(colours[r->data[0][yy * r->linesize[0] + xx]]);
  avsubtitle_free(&sub);
  return out;
}

constexpr uint32_t kOpaqueWhite = 0xFFFFFFFF, kOpaqueBlack = 0xFF000000, kOpaqueRed = 0xFFFF0000;
// The default shadow: black at transparency 176, a contrast of (255 - 176) >> 4 = 4.
constexpr uint32_t kShadow = 0x44000000;

struct Title {
  TempDir dir;
  std::shared_ptr<TDVDPalette> palette = std::make_shared<TDVDPalette>();
  TSttList list;
  std::vector<std::string> log;

  explicit Title(const std::string& srt) {
    palette->Add(kBlack);
    palette->Add(kWhite);
    WriteFile(dir / "t.srt", srt);
    list.LogCallback = [this](const void*, TSeverity, const std::string& text) { log.push_back(text); };
    list.TextRenderer = MakeTextEventRenderer(palette);
    TSttFile& f = list.AddFile();
    f.Font = TFontDesc{kDejaVu, 24, false, false, false, kWhite};
    f.OutlineColor = kBlack;
    f.SetFileName(dir / "t.srt");
    f.AttachOutputStream(0, 0);
  }
};

TEST(TextEvent, RoundTripThroughTheDecoder) {
  Title t(
      "1\n00:00:01,000 --> 00:00:02,500\nHello World\n\n"
      "2\n00:00:04,000 --> 00:00:05,000\n<font color=\"#FF0000\">Red</font> and white\n");
  ASSERT_TRUE(t.list.LoadAll());

  TSttPacket first, second, none;
  ASSERT_GT(t.list.NextPacket(first, true), 0);
  ASSERT_GT(t.list.NextPacket(second, true), 0);
  EXPECT_EQ(t.list.NextPacket(none, true), -1);

  // Shown from the packet's time for the event's duration.
  EXPECT_EQ(first.Pts, 1000 * 90);
  EXPECT_EQ(first.Duration, 1500 * 90);
  EXPECT_EQ(second.Pts, 4000 * 90);
  const Decoded a = Decode(first.Data, *t.palette);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.start, 0u);
  EXPECT_NEAR(double(a.end), 1500, 40);  // within a frame

  // White text, black outline, translucent black shadow, transparent elsewhere.
  auto hist = a.Histogram();
  EXPECT_GT(hist[kOpaqueWhite], 200);
  EXPECT_GT(hist[kOpaqueBlack], 200);
  EXPECT_GT(hist[kShadow], 100);
  for (const auto& [colour, n] : hist)
    EXPECT_TRUE(colour == kOpaqueWhite || colour == kOpaqueBlack || colour == kShadow || (colour >> 24) == 0)
        << std::hex << colour;
  // The shadow falls 2 pixels down and right of text and outline; the text sits low on
  // the screen, centred.
  int shadowBelowOutline = 0;
  for (int y = a.y; y < a.y + a.h; ++y)
    for (int x = a.x; x < a.x + a.w; ++x) {
      if (a.At(x, y) != kShadow) continue;
      const uint32_t caster = a.At(x - 2, y - 2);
      ASSERT_TRUE(caster == kOpaqueWhite || caster == kOpaqueBlack) << x << "," << y;
      ++shadowBelowOutline;
    }
  EXPECT_GT(shadowBelowOutline, 0);
  EXPECT_GT(a.y, 450);
  EXPECT_LT(a.y + a.h, 576);
  EXPECT_NEAR(a.x + a.w / 2.0, 360, 6);

  // A second colour: red text, white text, the outline, and no shadow.
  const Decoded b = Decode(second.Data, *t.palette);
  ASSERT_TRUE(b.ok);
  EXPECT_NEAR(double(b.end), 1000, 40);
  hist = b.Histogram();
  EXPECT_GT(hist[kOpaqueRed], 100);
  EXPECT_GT(hist[kOpaqueWhite], 100);
  EXPECT_GT(hist[kOpaqueBlack], 100);
  EXPECT_EQ(hist.count(kShadow), 0u);
  EXPECT_GE(t.palette->IndexOf(TRgb{255, 0, 0}), 0);
}

// NTSC events take the NTSC picture and frame timing.
TEST(TextEvent, NtscPicture) {
  Title t("1\n00:00:01,000 --> 00:00:02,000\nNTSC\n");
  ASSERT_TRUE(t.list.LoadAll());
  TSttPacket p;
  ASSERT_GT(t.list.NextPacket(p, false), 0);
  const Decoded d = Decode(p.Data, *t.palette);
  ASSERT_TRUE(d.ok);
  EXPECT_LT(d.y + d.h, 480);
  EXPECT_GT(d.y, 380);
  EXPECT_NEAR(double(d.end), 1000, 40);
}

// A full palette (from a VobSub index) takes no new colours: text is drawn with the
// nearest ones.
TEST(TextEvent, FullPaletteUsesNearestColours) {
  Title t("1\n00:00:01,000 --> 00:00:02,000\n<font color=\"#FE0101\">Nearly red</font> text\n");
  std::array<TRgb, 16> colours{};
  for (size_t i = 0; i < 16; ++i) colours[i] = TRgb{uint8_t(i * 16), uint8_t(i * 16), uint8_t(i * 16)};
  colours[5] = TRgb{255, 0, 0};
  colours[15] = kWhite;
  t.palette->Load16(colours);
  ASSERT_TRUE(t.list.LoadAll());
  TSttPacket p;
  ASSERT_GT(t.list.NextPacket(p, true), 0);
  EXPECT_EQ(t.palette->Count(), 16u);
  EXPECT_EQ(t.palette->IndexOf(TRgb{254, 1, 1}), -1);
  const Decoded d = Decode(p.Data, *t.palette);
  ASSERT_TRUE(d.ok);
  EXPECT_GT(d.Histogram()[kOpaqueRed], 50);
}

// Events a player could not show are skipped with a warning, never sent.
TEST(TextEvent, UnshowableEventsAreSkipped) {
  auto render = MakeTextEventRenderer(std::make_shared<TDVDPalette>());
  TSttFile file;
  std::vector<std::string> log;
  file.LogCallback = [&](const void*, TSeverity, const std::string& text) { log.push_back(text); };
  TSttFrame frame;
  frame.Owner = &file;
  frame.Lines = {U"No time"};
  frame.Duration = 0;
  std::vector<uint8_t> unit;
  EXPECT_FALSE(render(frame, true, unit));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("no duration"), std::string::npos);

  // A 30-line event runs off the top of the picture: what fits is shown, with a warning.
  frame.Duration = 1000;
  frame.Lines.assign(30, U"#%&@ *=+ |/\\ ~^$ {} [] () ;: ,. !? 1234567890 abcdefghij ABCDEFGHIJ");
  log.clear();
  ASSERT_TRUE(render(frame, true, unit));
  EXPECT_LE(unit.size(), kMaxSubPictureUnitSize);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("does not fit the picture"), std::string::npos);
  TDVDPalette blackWhite;
  blackWhite.Add(kBlack);
  blackWhite.Add(kWhite);
  const Decoded d = Decode(unit, blackWhite);
  ASSERT_TRUE(d.ok);
  EXPECT_LT(d.y, 2 + 36);  // text from the top of the picture down
}

}  // namespace
}  // namespace vidoria
