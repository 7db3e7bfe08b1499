#include "menus/U_Bitmap32Gradient.h"

#include <gtest/gtest.h>

#include <cmath>

namespace vidoria {
namespace {

const std::string kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

TEST(BoxBlur, SinglePixelMatchesHandComputedSums) {
  // r = 1: weight round(65536 / 3) = 21845. One pass each way spreads 255 into
  // (255·21845) >> 16 = 84 on three pixels of the row, then (84·21845) >> 16 = 27 on a
  // 3 × 3 block, in every channel.
  TBitmap32 b(7, 7);
  b.SetPixel(3, 3, 0xFFFFFFFF);
  BoxBlur(b, 1, 1);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 7; ++x) {
      const bool inBlock = std::abs(x - 3) <= 1 && std::abs(y - 3) <= 1;
      EXPECT_EQ(b.Pixel(x, y), inBlock ? 0x1B1B1B1Bu : 0u) << x << "," << y;
    }

  // At the corner the edge pixel counts again for the position outside:
  // row: (510·21845) >> 16 = 169, (255·21845) >> 16 = 84;
  // columns: (338·21845) >> 16 = 112, (169·21845) >> 16 = 56, (168·…) = 55, (84·…) = 27.
  TBitmap32 c(5, 5);
  c.SetPixel(0, 0, 0xFF000000);
  BoxBlur(c, 1, 1);
  EXPECT_EQ(c.Pixel(0, 0), 0x70000000u);
  EXPECT_EQ(c.Pixel(0, 1), 0x38000000u);
  EXPECT_EQ(c.Pixel(1, 0), 0x37000000u);
  EXPECT_EQ(c.Pixel(1, 1), 0x1B000000u);
  EXPECT_EQ(c.Pixel(2, 2), 0u);

  // Radius 0 leaves the picture as it was.
  TBitmap32 d(4, 4, 0x80FF0000);
  TBitmap32 sharp = d;
  BoxBlur(sharp, 0, 4);
  EXPECT_EQ(sharp, d);
  BoxBlur(d, 2, 4);
  // r = 2, weight 13107: on a uniform picture each of the 8 passes truncates
  // (5·v·13107) >> 16 to v − 1, so 0x80 ends at 0x78 and 0xFF at 0xF7.
  EXPECT_EQ(d.Pixel(1, 1), 0x78F70000u);
  EXPECT_EQ(d.Pixel(3, 0), 0x78F70000u);
}

// Bounding box of the pixels whose alpha is above `minAlpha`.
TRect Covered(const TBitmap32& b, int minAlpha = 0) {
  TRect r{b.Width(), b.Height(), -1, -1};
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x)
      if (AlphaComponent(b.Pixel(x, y)) > minAlpha) {
        r.Left = std::min(r.Left, x);
        r.Top = std::min(r.Top, y);
        r.Right = std::max(r.Right, x + 1);
        r.Bottom = std::max(r.Bottom, y + 1);
      }
  return r;
}

// Alpha-weighted mean position.
std::pair<double, double> Centroid(const TBitmap32& b) {
  double sx = 0, sy = 0, total = 0;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) {
      const double a = AlphaComponent(b.Pixel(x, y));
      sx += a * x;
      sy += a * y;
      total += a;
    }
  return {sx / total, sy / total};
}

TShadowedText Sample(const std::string& text) {
  TShadowedText t;
  t.Font.Name = kDejaVu;
  t.Font.Size = 18;
  t.Font.Color = 0xFFFFFF;
  t.Text = text;
  return t;
}

TEST(ShadowedText, LayersAreSizedAndOffset) {
  TShadowedText t = Sample("Chapter 1");
  TShadowedText::TLayers layers;
  ASSERT_TRUE(t.PrepareLayers(layers));
  EXPECT_EQ(layers.Margin, 12);
  EXPECT_EQ(layers.Shadow.Width(), layers.Extent.Width + 34);
  EXPECT_EQ(layers.Shadow.Height(), layers.Extent.Height() + 24);
  EXPECT_EQ(layers.Text.Width(), layers.Shadow.Width());
  const TRect text = Covered(layers.Text);
  const TRect shadow = Covered(layers.Shadow);
  // The blur spreads the shadow around the text moved by 4, 3 (by up to
  // Radius × Passes = 8; truncation drops the faintest edge).
  EXPECT_LE(shadow.Left, text.Left + 4 - 3);
  EXPECT_LE(shadow.Top, text.Top + 3 - 3);
  EXPECT_GE(shadow.Right, text.Right + 4 + 3);
  EXPECT_GE(shadow.Bottom, text.Bottom + 3 + 3);
  const auto [tx, ty] = Centroid(layers.Text);
  const auto [sx, sy] = Centroid(layers.Shadow);
  EXPECT_NEAR(sx - tx, 4.0, 0.5);
  EXPECT_NEAR(sy - ty, 3.0, 0.5);
  // Text pixels are in the font colour.
  for (int x = text.Left; x < text.Right; ++x)
    for (int y = text.Top; y < text.Bottom; ++y)
      if (AlphaComponent(layers.Text.Pixel(x, y)) > 0) {
        EXPECT_EQ(layers.Text.Pixel(x, y) & 0xFFFFFF, 0xFFFFFFu);
      }

  // Without blur the shadow is the text, moved by 4, 3, with its alpha × 1.8.
  t.Radius = 0;
  ASSERT_TRUE(t.PrepareLayers(layers));
  EXPECT_EQ(layers.Margin, 4);
  int compared = 0;
  for (int y = 0; y + 3 < layers.Text.Height(); ++y)
    for (int x = 0; x + 4 < layers.Text.Width(); ++x) {
      const int a = AlphaComponent(layers.Text.Pixel(x, y));
      EXPECT_EQ(AlphaComponent(layers.Shadow.Pixel(x + 4, y + 3)), std::min(255L, std::lround(a * 1.8)));
      compared += a > 0;
    }
  EXPECT_GT(compared, 100);
}

TEST(ShadowedText, DrawCenteredCentresTheLayers) {
  TShadowedText t = Sample("Title");
  TShadowedText::TLayers layers;
  ASSERT_TRUE(t.PrepareLayers(layers));
  TBitmap32 canvas(400, 200);
  ASSERT_TRUE(t.DrawCentered(canvas, 200, 100));
  const int left = 200 - layers.Shadow.Width() / 2, top = 100 - layers.Shadow.Height() / 2;
  TBitmap32 expected(400, 200);
  layers.Shadow.DrawTo(expected, left, top);
  layers.Text.DrawTo(expected, left, top);
  EXPECT_EQ(canvas, expected);
  // Shadow over a transparent ground blends softly: no opaque black halo.
  const TRect shadow = Covered(canvas);
  EXPECT_LT(AlphaComponent(canvas.Pixel(shadow.Left, (shadow.Top + shadow.Bottom) / 2)), 64);
}

TEST(ShadowedText, DrawLeftSqueezesIntoTheMaximumWidth) {
  TShadowedText t = Sample("A rather long chapter title");
  TShadowedText::TLayers layers;
  ASSERT_TRUE(t.PrepareLayers(layers));
  const int w = layers.Shadow.Width(), m = layers.Margin;

  TBitmap32 natural(1000, 100);
  ASSERT_TRUE(t.DrawLeft(natural, 10, 50, w + 2 * m + 1));  // fits: drawn as is
  TBitmap32 roomy(1000, 100);
  ASSERT_TRUE(t.DrawLeft(roomy, 10, 50, 900));
  EXPECT_EQ(natural, roomy);
  const TRect full = Covered(natural);
  EXPECT_EQ(full.Top, 50 - (layers.Extent.Height() + 1) / 2 - m + Covered(layers.Shadow).Top);

  TBitmap32 boundary(1000, 100);
  ASSERT_TRUE(t.DrawLeft(boundary, 10, 50, w + 2 * m));  // no longer below: resampled
  EXPECT_NE(boundary, natural);

  const int maxWidth = w / 2;
  TBitmap32 squeezed(1000, 100);
  ASSERT_TRUE(t.DrawLeft(squeezed, 10, 50, maxWidth));
  const TRect box = Covered(squeezed);
  EXPECT_GE(box.Left, 10);
  EXPECT_LE(box.Right, 10 + maxWidth);
  // Scaled by exactly maxWidth / w about x = 10, height unchanged.
  EXPECT_NEAR(box.Left - 10, (full.Left - 10) * double(maxWidth) / w, 1.0);
  EXPECT_NEAR(box.Right - 10, (full.Right - 10) * double(maxWidth) / w, 1.0);
  EXPECT_EQ(box.Top, full.Top);
  EXPECT_EQ(box.Bottom, full.Bottom);

  TBitmap32 none(100, 100);
  EXPECT_TRUE(t.DrawLeft(none, 10, 50, 0));
  EXPECT_TRUE(t.DrawLeft(none, 10, 50, -5));
  EXPECT_EQ(none, TBitmap32(100, 100));
}

TEST(ShadowedText, UnusableFontDrawsNothing) {
  TShadowedText t = Sample("x");
  t.Font.Name = "/nonexistent.ttf";
  TBitmap32 canvas(50, 50);
  EXPECT_FALSE(t.DrawCentered(canvas, 25, 25));
  EXPECT_EQ(canvas, TBitmap32(50, 50));
}

TEST(Gradient, BandsOf7Point2PixelsFromStartColour) {
  TBitmap32 page(720, 4);
  TBitmap32Gradient g(page);
  g.SetStartColor(0xFF0000FF);
  g.SetEndColor(0xFFFFFFFF);
  g.SetSteps(100);
  g.Paint();
  struct Case {
    int x;
    TColor32 color;
  };
  const Case cases[] = {
      {0, 0xFF0000FF},   {6, 0xFF0000FF},   // band 0: x 0..6, the start colour
      {7, 0xFF0303FF},   {13, 0xFF0303FF},  // band 1 from round(7.2): 2.55 → 3
      {14, 0xFF0505FF},                     // band 2 from round(14.4): 5.1 → 5
      {72, 0xFF1A1AFF},                     // band 10: 25.5 → 26 (halves to even)
      {216, 0xFF4C4CFF},                    // band 30: 76.5 → 76 (halves to even)
      {712, 0xFFFAFAFF},                    // band 98 ends at round(712.8) = 713
      {713, 0xFFFCFCFF}, {719, 0xFFFCFCFF}, // band 99; band 100 would start at 720
  };
  for (const Case& c : cases) {
    EXPECT_EQ(page.Pixel(c.x, 0), c.color) << c.x;
    EXPECT_EQ(page.Pixel(c.x, 3), c.color) << c.x;
  }
}

TEST(Gradient, StepsAreLimitedByTheWidth) {
  TBitmap32 narrow(4, 1);
  TBitmap32Gradient g(narrow);
  g.SetStartColor(0xFF000000);
  g.SetEndColor(0xFFFFFFFF);
  g.SetSteps(1000);  // 4 bands of one pixel
  g.Paint();
  EXPECT_EQ(narrow.Pixel(0, 0), 0xFF000000u);
  EXPECT_EQ(narrow.Pixel(1, 0), 0xFF404040u);  // 63.75 → 64
  EXPECT_EQ(narrow.Pixel(3, 0), 0xFFBFBFBFu);  // 191.25 → 191
  g.SetSteps(0);  // one band
  g.Paint();
  EXPECT_EQ(narrow.Pixel(3, 0), 0xFF000000u);

  TBitmap32 empty;
  TBitmap32Gradient none(empty);
  none.Paint();
  EXPECT_TRUE(empty.Empty());
}

}  // namespace
}  // namespace vidoria
