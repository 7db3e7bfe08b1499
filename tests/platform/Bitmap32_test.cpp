#include "platform/Bitmap32.h"

#include <gtest/gtest.h>

#include <array>

namespace vidoria {
namespace {

TEST(Bitmap32, BlendOverIsPorterDuffOver) {
  struct Case {
    TColor32 src, dst;
    uint8_t master;
    TColor32 expected;
  };
  const Case cases[] = {
      {0xFF102030, 0xFFFFFFFF, 255, 0xFF102030},  // opaque source replaces
      {0x00FFFFFF, 0x80123456, 255, 0x80123456},  // transparent source leaves the ground
      {0x80FF0000, 0x00000000, 255, 0x80FF0000},  // over nothing: keeps colour and alpha
      {0xFFFFFFFF, 0xFF000000, 128, 0xFF808080},  // master alpha halves an opaque source
      {0x80FFFFFF, 0xFF000000, 255, 0xFF808080},
      {0x80000000, 0x80FFFFFF, 255, 0xC0555555},  // both half: alpha 3/4, colour 1/3 white
  };
  for (const Case& c : cases)
    EXPECT_EQ(BlendOver(c.src, c.dst, c.master), c.expected) << std::hex << c.src << " over " << c.dst;
}

TEST(Bitmap32, BlendOverAnOpaqueGroundRoundsLikeTheGeneralCase) {
  // The weighted formula for any ground, written out here as the reference.
  auto reference = [](uint32_t s, uint32_t d, uint32_t sa) {
    const uint32_t ws = sa * 255, wd = 255 * (255 - sa), total = ws + wd;
    return (s * ws + d * wd + total / 2) / total;
  };
  for (uint32_t sa = 1; sa < 255; ++sa)
    for (uint32_t s = 0; s < 256; s += 5)
      for (uint32_t d = 0; d < 256; d += 3) {
        const TColor32 src = Color32(uint8_t(s), uint8_t(255 - s), uint8_t(d), uint8_t(sa));
        const TColor32 dst = Color32(uint8_t(d), uint8_t(s), uint8_t(255 - d), 255);
        const TColor32 expected = Color32(uint8_t(reference(s, d, sa)), uint8_t(reference(255 - s, s, sa)),
                                          uint8_t(reference(d, 255 - d, sa)), 255);
        ASSERT_EQ(BlendOver(src, dst), expected) << std::hex << src << " over " << dst;
      }
}

TEST(Bitmap32, SizeFillAndClippedDraw) {
  TBitmap32 b;
  EXPECT_FALSE(b.SetSize(-1, 5));
  EXPECT_FALSE(b.SetSize(TBitmap32::kMaxSide + 1, 1));
  EXPECT_THROW(TBitmap32(1, -1), std::invalid_argument);
  ASSERT_TRUE(b.SetSize(4, 3, 0xFF000000));
  b.FillRect(TRect{-5, 1, 2, 99}, 0xFFFF0000);
  EXPECT_EQ(b.Pixel(0, 0), 0xFF000000u);
  EXPECT_EQ(b.Pixel(1, 2), 0xFFFF0000u);
  EXPECT_EQ(b.Pixel(2, 2), 0xFF000000u);

  TBitmap32 dot(2, 2, 0xFF00FF00);
  dot.DrawTo(b, 3, -1);  // only its bottom-left pixel lands, on (3, 0)
  EXPECT_EQ(b.Pixel(3, 0), 0xFF00FF00u);
  EXPECT_EQ(b.Pixel(3, 1), 0xFF000000u);
  EXPECT_EQ(b.PixelS(4, 0), 0u);
}

TEST(Bitmap32, ResampleAveragesAreasWithoutDarkFringes) {
  TBitmap32 stripes(4, 1);
  const std::array<TColor32, 4> row{0xFFFFFFFF, 0xFF000000, 0xFFFFFFFF, 0xFF000000};
  for (int x = 0; x < 4; ++x) stripes.SetPixel(x, 0, row[size_t(x)]);
  const TBitmap32 half = stripes.Resampled(stripes.BoundsRect(), 2, 1);
  EXPECT_EQ(half.Pixel(0, 0), 0xFF808080u);
  EXPECT_EQ(half.Pixel(1, 0), 0xFF808080u);

  // Red next to transparent black averages to half-transparent red, not dark red.
  TBitmap32 edge(2, 1);
  edge.SetPixel(0, 0, 0xFFFF0000);
  EXPECT_EQ(edge.Resampled(edge.BoundsRect(), 1, 1).Pixel(0, 0), 0x80FF0000u);

  // 3 → 2 pixels: the middle source pixel is shared half and half.
  TBitmap32 three(3, 1, 0xFF000000);
  three.SetPixel(1, 0, 0xFFFFFFFF);
  const TBitmap32 two = three.Resampled(three.BoundsRect(), 2, 1);
  EXPECT_EQ(two.Pixel(0, 0), 0xFF555555u);
  EXPECT_EQ(two.Pixel(1, 0), 0xFF555555u);

  TBitmap32 target(5, 1);
  three.StretchTo(target, TRect{1, 0, 3, 1});
  EXPECT_EQ(target.Pixel(0, 0), 0u);
  EXPECT_EQ(target.Pixel(1, 0), 0xFF555555u);
  EXPECT_EQ(target.Pixel(3, 0), 0u);
}

TEST(Bitmap32, BgraBytesMatchPixelValues) {
  const uint8_t bytes[] = {0x10, 0x20, 0x30, 0x40, 0xAA, 0xBB, 0xCC, 0xDD, 0x01, 0x02, 0x03, 0x04};
  TBitmap32 b;
  ASSERT_TRUE(b.CopyFromBGRA(bytes, 1, 2, 8));  // 8-byte rows, 4 bytes used
  EXPECT_EQ(b.Pixel(0, 0), 0x40302010u);
  EXPECT_EQ(b.Pixel(0, 1), 0x04030201u);  // second row starts at byte 8
  uint8_t out[8] = {};
  b.CopyToBGRA(out, 4);
  EXPECT_EQ(out[0], 0x10);
  EXPECT_EQ(out[3], 0x40);
  EXPECT_FALSE(b.CopyFromBGRA(bytes, 3, 1, 8));  // linesize shorter than a row
}

}  // namespace
}  // namespace vidoria
