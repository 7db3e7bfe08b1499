#include "common/U_DVDPalette.h"
#include "subtitles/U_SubPictureUnit.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <memory>
#include <random>
#include <string>

using namespace vidoria;

namespace {

using Bytes = std::vector<uint8_t>;

TDVDPalette BlackWhiteRed() {
  TDVDPalette p;
  p.Add(kBlack);
  p.Add(kWhite);
  p.Add(TRgb{255, 0, 0});
  return p;
}

// A 6 x 3 picture whose rows need short codes, a run reaching the row end and a pixel
// value above 3 (coded as 0).
const Bytes kSmallPixels = {1, 1, 1, 1, 0, 0,  //
                            2, 2, 2, 2, 2, 2,  //
                            3, 0, 3, 9, 9, 9};

TSpuPicture SmallPicture() {
  TSpuPicture p;
  p.X = 10;
  p.Y = 20;
  p.Width = 6;
  p.Height = 3;
  p.Stride = 6;
  // Values 0..3: invisible, opaque white, opaque black, half-transparent red.
  p.Colours = {0xFF000000, 0x00FFFFFF, 0x00000000, 0x80FF0000};
  p.Pixels = kSmallPixels;
  return p;
}

}  // namespace

TEST(SubPictureUnit, SmallPictureBytes) {
  const TDVDPalette palette = BlackWhiteRed();
  TSPUH unit(palette);
  const TSpuPicture picture = SmallPicture();
  TSubPicture request;
  request.Start = 1000;
  request.Stop = 2500;
  request.Pictures = std::span(&picture, 1);
  ASSERT_EQ(unit.Build(request), 40u);
  const Bytes expected = {
      0x00, 0x28, 0x00, 0x09,                          // size, control table at 9
      0x11, 0x80, 0x74, 0x7C,                          // top field: rows 0 and 2
      0x1A,                                            // bottom field: row 1
      0x00, 0x00, 0x00, 0x21,                          // sequence 0: delay 0, next at 33
      0x01,                                            // start display
      0x03, 0x20, 0x10,                                // colours of values 3,2,1,0: 2,0,1,0
      0x04, 0x7F, 0xF0,                                // contrasts 7,F,F,0
      0x05, 0x00, 0xA0, 0x0F, 0x01, 0x40, 0x16,        // x 10..15, y 20..22
      0x06, 0x00, 0x04, 0x00, 0x08,                    // field offsets
      0xFF,                                            //
      0x00, 0x81, 0x00, 0x21, 0x02, 0xFF,              // sequence 1: stop after 129 units
      0xFF};                                           // even size
  EXPECT_EQ(unit.Data(), expected);
  EXPECT_EQ(unit.PresentationTime(), 90000);
  EXPECT_EQ(unit.Duration(), 1500);
}

TEST(SubPictureUnit, WithoutStopTheSequencePointsAtItselfAndForcedStartsWithZero) {
  const TDVDPalette palette = BlackWhiteRed();
  TSPUH unit(palette);
  const TSpuPicture picture = SmallPicture();
  TSubPicture request;
  request.Start = request.Stop = 500;
  request.Forced = true;
  request.Pictures = std::span(&picture, 1);
  ASSERT_EQ(unit.Build(request), 34u);  // 9 + 24 + padding
  EXPECT_EQ(unit.GetU16(11), 9);        // next sequence: sequence 0 itself
  EXPECT_EQ(unit.Data()[13], 0x00);     // forced start display
  EXPECT_EQ(unit.Data()[32], 0xFF);
}

TEST(SubPictureUnit, ColourAndContrastWordsOfTextOnBlackAndWhite) {
  TDVDPalette palette;
  palette.Add(kBlack);
  palette.Add(kWhite);
  TSPUH unit(palette);
  Bytes pixels(4, 3);
  TSpuPicture p;
  p.Width = 2;
  p.Height = 2;
  p.Stride = 2;
  p.Pixels = pixels;
  p.Colours = {0xFF000000, 0xB0000000, 0x00000000, 0x00FFFFFF};  // values 0,1,2,3
  TSubPicture request;
  request.Pictures = std::span(&p, 1);
  ASSERT_GT(unit.Build(request), 0u);
  const size_t control = unit.GetU16(2);
  EXPECT_EQ(unit.GetU16(control + 6), 0x1000);
  EXPECT_EQ(unit.GetU16(control + 9), 0xFF40);
}

TEST(SubPictureUnit, RowCodes) {
  struct Case {
    const char* name;
    Bytes row;
    Bytes code;
  };
  Bytes longRuns(720, 0);
  std::fill(longRuns.begin(), longRuns.begin() + 345, 1);
  Bytes alternating(720);
  for (size_t i = 0; i < alternating.size(); ++i) alternating[i] = i % 2;
  // 356 one-pixel codes (1424 bits), then the row is cut: 14 zero bits and value 0.
  Bytes alternatingCode(178, 0x45);  // 0100 0101: (1 x 0), (1 x 1)
  alternatingCode.push_back(0x00);
  alternatingCode.push_back(0x00);
  const Case cases[] = {
      {"all zero", Bytes(720, 0), {0x00, 0x00}},
      {"run of 345: 255 + 90, then zeros to the end", longRuns, {0x03, 0xFD, 0x01, 0x69, 0x00, 0x00}},
      {"alternating pixels are cut at 1440 bits", alternating, alternatingCode},
  };
  for (const Case& c : cases) {
    TSpuPicture p;
    p.Width = static_cast<int>(c.row.size());
    p.Height = 1;
    p.Stride = p.Width;
    p.Pixels = c.row;
    Bytes out;
    EncodeSpuField(p, 0, out);
    EXPECT_EQ(out, c.code) << c.name;
  }
}

TEST(SubPictureUnit, StopDelays) {
  struct Case {
    int64_t ms;
    bool pal;
    uint16_t delay;
  };
  const Case cases[] = {
      {1500, true, 129}, {1500, false, 128}, {62345, true, 5273 + 175 + 28}, {59999, false, 4394 + 791 + 84},
      {4 * 3600 * 1000, true, 65535},  // held at the field's limit
  };
  for (const Case& c : cases) EXPECT_EQ(StopDelay(c.ms, c.pal), c.delay) << c.ms << (c.pal ? " PAL" : " NTSC");
}

TEST(SubPictureUnit, AFullScreenOfNoiseIsDroppedWithAWarning) {
  const TDVDPalette palette = BlackWhiteRed();
  TSPUH unit(palette);
  std::vector<std::string> log;
  unit.LogCallback = [&](const void*, TSeverity s, const std::string& text) {
    if (s == EVT_WARNING) log.push_back(text);
  };
  Bytes pixels(720 * 576);
  std::mt19937 random(7);
  for (auto& b : pixels) b = static_cast<uint8_t>(random() % 4);
  TSpuPicture p;
  p.Width = 720;
  p.Height = 576;
  p.Stride = 720;
  p.Pixels = pixels;
  TSubPicture request;
  request.Stop = 1000;
  request.Pictures = std::span(&p, 1);
  EXPECT_EQ(unit.Build(request), 0u);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("53220"), std::string::npos);
}

TEST(SubPictureUnit, PixelsShorterThanThePictureAreRefused) {
  const TDVDPalette palette = BlackWhiteRed();
  TSPUH unit(palette);
  int errors = 0;
  unit.LogCallback = [&](const void*, TSeverity s, const std::string&) { errors += s == EVT_ERROR; };
  TSpuPicture p = SmallPicture();
  p.Height = 4;
  TSubPicture request;
  request.Pictures = std::span(&p, 1);
  EXPECT_EQ(unit.Build(request), 0u);
  EXPECT_EQ(errors, 1);
}

// libavcodec's DVD subtitle decoder, given the palette, gives back what was encoded.
TEST(SubPictureUnit, DecodedByLibavcodec) {
  TDVDPalette palette = BlackWhiteRed();
  palette.Add(TRgb{0, 0, 255});
  Bytes pixels(64 * 20);
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 64; ++x) pixels[y * 64 + x] = static_cast<uint8_t>((x / 8 + y / 5) % 4);
  TSpuPicture p;
  p.X = 100;
  p.Y = 400;
  p.Width = 64;
  p.Height = 20;
  p.Stride = 64;
  p.Pixels = pixels;
  p.Colours = {0xFF000000, 0x00FFFFFF, 0x400000FF, 0x00FF0000};
  TSubPicture request;
  request.Start = 3000;
  request.Stop = 4500;
  request.Pictures = std::span(&p, 1);
  TSPUH unit(palette);
  ASSERT_GT(unit.Build(request), 0u);

  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_DVD_SUBTITLE);
  ASSERT_NE(codec, nullptr);
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
  ASSERT_EQ(avcodec_open2(ctx.get(), codec, &options), 0);
  av_dict_free(&options);

  Bytes data = unit.Data();
  AVPacket* packet = av_packet_alloc();
  packet->data = data.data();
  packet->size = static_cast<int>(data.size());
  AVSubtitle sub{};
  int got = 0;
  ASSERT_GE(avcodec_decode_subtitle2(ctx.get(), &sub, &got, packet), 0);
  av_packet_free(&packet);
  ASSERT_TRUE(got);
  ASSERT_EQ(sub.num_rects, 1u);
  const AVSubtitleRect* r = sub.rects[0];
  // The decoder crops fully transparent borders; this picture has none on its first
  // column and row, so the origin stays.
  EXPECT_EQ(r->x, 100);
  EXPECT_EQ(r->y, 400);
  EXPECT_EQ(r->w, 64);
  EXPECT_EQ(r->h, 20);
  EXPECT_EQ(sub.end_display_time, 129u * 1024 / 90);
  const auto* argb = reinterpret_cast<const uint32_t*>(r->data[1]);
  for (int y = 0; y < r->h; ++y)
    for (int x = 0; x < r->w; ++x) {
      const uint8_t v = pixels[y * 64 + x];
      const uint32_t colour = argb[r->data[0][y * r->linesize[0] + x]];
      const uint32_t wantRgb = palette.Item(unit.PaletteIndices()[v]).ToRgb();
      const uint32_t wantAlpha = ((255 - (p.Colours[v] >> 24)) >> 4) * 17;
      ASSERT_EQ(colour >> 24, wantAlpha) << x << "," << y;
      if (wantAlpha) {
        ASSERT_EQ(colour & 0xFFFFFF, wantRgb) << x << "," << y;
      }
    }
  avsubtitle_free(&sub);
}

TEST(DVDPalette, NearestIndexOfAndAdd) {
  TDVDPalette p;
  EXPECT_EQ(p.Nearest(kWhite), 0);  // empty
  EXPECT_EQ(p.Add(kBlack), 0);
  EXPECT_EQ(p.Add(kWhite), 1);
  EXPECT_EQ(p.Add(kBlack), 0);  // already there
  EXPECT_EQ(p.Count(), 2u);
  EXPECT_EQ(p.Nearest(TRgb{127, 127, 127}), 0);
  EXPECT_EQ(p.Nearest(TRgb{128, 128, 128}), 1);
  EXPECT_EQ(p.Add(TRgb{200, 0, 0}), 2);
  EXPECT_EQ(p.Add(TRgb{0, 200, 0}), 3);
  EXPECT_EQ(p.Nearest(TRgb{250, 10, 10}), 2);
  EXPECT_EQ(p.Nearest(TRgb{200, 200, 200}), 1);
  EXPECT_EQ(p.IndexOf(TRgb{0, 200, 0}), 3);
  EXPECT_EQ(p.IndexOf(TRgb{0, 201, 0}), -1);
  for (int i = 4; i < 16; ++i) EXPECT_EQ(p.Add(TRgb{0, 0, static_cast<uint8_t>(i)}), i);
  EXPECT_EQ(p.Add(TRgb{1, 2, 3}), -1);  // full
  EXPECT_EQ(p.Count(), 16u);
}

TEST(DVDPalette, FirstOfEqualDistancesWins) {
  TDVDPalette p;
  p.Add(TRgb{10, 0, 0});
  p.Add(TRgb{0, 10, 0});
  EXPECT_EQ(p.Nearest(TRgb{0, 0, 0}), 0);
}

TEST(DVDPalette, YCrCb) {
  struct Case {
    TRgb rgb;
    std::array<uint8_t, 3> ycc;
  };
  const Case cases[] = {
      {kWhite, {235, 128, 128}},
      {kBlack, {16, 128, 128}},
      // Y 219/255 x 76.22 + 16 = 81.5 -> 81; Cr 111.5 + 128 held at 239; Cb -37.6 -> 90
      {TRgb{255, 0, 0}, {81, 239, 90}},
      {TRgb{0, 0, 255}, {41, 110, 239}},
  };
  for (const Case& c : cases) EXPECT_EQ(RgbToYCrCb(c.rgb), c.ycc) << c.rgb.ToHex();
  TDVDPalette p;
  p.Add(kWhite);
  const auto table = p.IfoColourTable();
  EXPECT_EQ(table[0], 0);
  EXPECT_EQ(table[1], 235);
  EXPECT_EQ(table[5], 16);  // entry 1 is beyond the count: black
  EXPECT_EQ(table[6], 128);
}
