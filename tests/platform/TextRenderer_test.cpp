#include "platform/TextRenderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

namespace vidoria {
namespace {

// Pinned faces, so results do not depend on the fonts a machine has.
const std::string kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
const std::string kLiberation = "/usr/share/fonts/truetype/liberation2/LiberationSans-Regular.ttf";

TFont Pinned(const std::string& file, int size = 24, TFontStyles style = 0) {
  TFont f;
  f.Name = file;
  f.Size = size;
  f.Style = style;
  return f;
}

long CoverageSum(const TTextMask& m) { return std::accumulate(m.Coverage.begin(), m.Coverage.end(), 0L); }

TEST(TextRenderer, PointSizesAreAt96Dpi) {
  const std::pair<int, int> cases[] = {{8, 11}, {16, 21}, {18, 24}, {22, 29}, {24, 32}, {0, 1}, {100000, 1000}};
  for (auto [points, pixels] : cases) {
    TFont f;
    f.Size = points;
    EXPECT_EQ(f.PixelSize(), pixels) << points;
  }
}

TEST(TextRenderer, MeasuresWithFaceMetrics) {
  TTextRenderer r(Pinned(kDejaVu));
  ASSERT_TRUE(r.IsValid());
  const TTextExtent one = r.Measure("M"), two = r.Measure("MM"), word = r.Measure("Menu page");
  // DejaVu Sans: win ascent 1901, descent 483 per 2048 units, 32-pixel em.
  EXPECT_EQ(one.Ascent, 30);
  EXPECT_EQ(one.Descent, 8);
  EXPECT_EQ(one.Height(), 38);
  EXPECT_GT(one.Width, 0);
  EXPECT_NEAR(two.Width, 2 * one.Width, 1);
  EXPECT_GT(word.Width, two.Width);
  EXPECT_EQ(r.Measure("").Width, 0);
  EXPECT_EQ(r.Measure("").Height(), 38);
}

TEST(TextRenderer, FamilyNamesResolveThroughFontconfig) {
  for (const char* family : {"Arial", "Tahoma", "sans-serif"}) {
    TFont f;
    f.Name = family;
    f.Size = 18;
    TTextRenderer r(f);
    EXPECT_TRUE(r.IsValid()) << family;
    EXPECT_GT(r.Measure("Title").Width, 0) << family;
  }
  TFont missing = Pinned("/nonexistent/font.ttf");
  TTextRenderer bad(missing);
  EXPECT_FALSE(bad.IsValid());
  EXPECT_EQ(bad.Measure("x"), TTextExtent{});
  EXPECT_TRUE(bad.RenderMask("x").Coverage.empty());
}

TEST(TextRenderer, RightToLeftTextIsReordered) {
  TTextRenderer r(Pinned(kDejaVu));
  auto xOfCluster = [](const std::vector<TPlacedGlyph>& glyphs, uint32_t cluster) {
    for (const auto& g : glyphs)
      if (g.Cluster == cluster) return g.X;
    ADD_FAILURE() << "no glyph for character " << cluster;
    return -1.0;
  };
  // Hebrew alef, bet: the first character is drawn on the right.
  const auto hebrew = r.Layout("\u05D0\u05D1");
  EXPECT_GT(xOfCluster(hebrew, 0), xOfCluster(hebrew, 1));
  // Latin then Hebrew: the Latin word stays on the left, the Hebrew word is reversed.
  const auto mixed = r.Layout("ab \u05D0\u05D1");
  EXPECT_LT(xOfCluster(mixed, 1), xOfCluster(mixed, 4));
  EXPECT_GT(xOfCluster(mixed, 3), xOfCluster(mixed, 4));
  // A right-to-left paragraph starts on the right: the Latin word, first in the text,
  // stands right of the Hebrew one.
  TTextRenderer rtl(Pinned(kDejaVu), TTextDirection::RightToLeft);
  const auto para = rtl.Layout("ab \u05D0\u05D1");
  EXPECT_LT(xOfCluster(para, 3), xOfCluster(para, 0));
  EXPECT_LT(xOfCluster(para, 0), xOfCluster(para, 1));
  // Arabic letters are shaped into joined forms: beh alone differs from beh + beh.
  const auto alone = r.Layout("\u0628");
  const auto joined = r.Layout("\u0628\u0628");
  ASSERT_EQ(alone.size(), 1u);
  ASSERT_EQ(joined.size(), 2u);
  EXPECT_NE(joined[0].GlyphIndex, alone[0].GlyphIndex);
  EXPECT_NE(joined[1].GlyphIndex, alone[0].GlyphIndex);
}

TEST(TextRenderer, MissingCharactersComeFromAFallbackFace) {
  // Liberation Sans has no Arabic letters.
  TTextRenderer r(Pinned(kLiberation));
  ASSERT_TRUE(r.IsValid());
  EXPECT_EQ(r.FaceFor(U'A'), 0);
  const int face = r.FaceFor(U'\u0628');
  ASSERT_GT(face, 0);
  EXPECT_NE(r.FaceFile(face), r.FaceFile(0));
  const auto glyphs = r.Layout("A\u0628");
  ASSERT_EQ(glyphs.size(), 2u);
  EXPECT_EQ(glyphs[0].Face, 0);
  EXPECT_EQ(glyphs[1].Face, face);
  EXPECT_NE(glyphs[1].GlyphIndex, 0u);  // not the missing-glyph box
}

TEST(TextRenderer, SyntheticBoldIsWiderAndDarker) {
  TTextRenderer regular(Pinned(kDejaVu, 24));
  TTextRenderer bold(Pinned(kDejaVu, 24, fsBold));
  EXPECT_FALSE(regular.SyntheticBold());
  EXPECT_TRUE(bold.SyntheticBold());
  const std::string text = "Chapter 12";
  EXPECT_GT(bold.Measure(text).Width, regular.Measure(text).Width);
  EXPECT_GT(CoverageSum(bold.RenderMask(text)), CoverageSum(regular.RenderMask(text)) * 11 / 10);
  // A face that is bold itself is not emboldened again.
  TTextRenderer realBold(Pinned("/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf", 24, fsBold));
  EXPECT_FALSE(realBold.SyntheticBold());
}

// Mean column of the covered pixels in rows [y0, y1) of the box.
double MeanX(const TTextMask& m, int y0, int y1) {
  double sum = 0, weight = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = m.Left; x < m.Left + m.Width; ++x) {
      sum += double(x) * m.At(x, y);
      weight += m.At(x, y);
    }
  return weight > 0 ? sum / weight : 0;
}

TEST(TextRenderer, SyntheticItalicLeansRight) {
  TTextRenderer regular(Pinned(kDejaVu, 24));
  TTextRenderer italic(Pinned(kDejaVu, 24, fsItalic));
  ASSERT_TRUE(italic.SyntheticItalic());
  const TTextExtent e = regular.Measure("l");
  const TTextMask up = regular.RenderMask("l"), slanted = italic.RenderMask("l");
  const int top = 4, mid = e.Ascent / 2;
  EXPECT_NEAR(MeanX(up, top, mid), MeanX(up, mid, e.Ascent), 0.5);
  EXPECT_GT(MeanX(slanted, top, mid) - MeanX(slanted, mid, e.Ascent), 2.0);
}

TEST(TextRenderer, UnderlineLiesBelowTheBaseline) {
  TTextRenderer plain(Pinned(kDejaVu, 24));
  TTextRenderer underlined(Pinned(kDejaVu, 24, fsUnderline));
  const std::string text = "menu";  // no descenders
  const TTextExtent e = underlined.Measure(text);
  auto fullRows = [&](const TTextMask& m, int y0, int y1) {
    int rows = 0;
    for (int y = y0; y < y1; ++y) {
      int covered = 0;
      for (int x = 0; x < e.Width; ++x) covered += m.At(x, y) > 0;
      rows += covered == e.Width;
    }
    return rows;
  };
  EXPECT_EQ(fullRows(plain.RenderMask(text), 0, e.Height()), 0);
  const TTextMask m = underlined.RenderMask(text);
  EXPECT_GE(fullRows(m, e.Ascent + 1, e.Height()), 1);
  EXPECT_EQ(fullRows(m, 0, e.Ascent + 1), 0);
}

TEST(TextRenderer, MonochromeDrawsWholeIndices) {
  TTextRenderer r(Pinned(kDejaVu, 24));
  const TTextMask m = r.RenderMask("Sub", TTextAntialias::Monochrome);
  EXPECT_TRUE(std::all_of(m.Coverage.begin(), m.Coverage.end(), [](uint8_t c) { return c == 0 || c == 255; }));
  const TTextMask aa = r.RenderMask("Sub");
  EXPECT_TRUE(std::any_of(aa.Coverage.begin(), aa.Coverage.end(), [](uint8_t c) { return c > 0 && c < 255; }));

  // Hinted to whole pixels: every pen position is an integer.
  for (const auto& g : r.Layout("Monochrome", TTextAntialias::Monochrome)) EXPECT_EQ(g.X, std::floor(g.X));
  EXPECT_NEAR(r.Measure("Monochrome", TTextAntialias::Monochrome).Width, r.Measure("Monochrome").Width, 6);

  const int w = 120, h = 50, stride = 124;
  std::vector<uint8_t> picture(size_t(stride) * h, 0);
  r.DrawIndexed(picture.data(), w, h, stride, 5, 5, "Sub", 3);
  int set = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < stride; ++x) {
      const uint8_t v = picture[size_t(y) * stride + x];
      EXPECT_TRUE(v == 0 || v == 3);
      if (x >= w) {
        EXPECT_EQ(v, 0) << "padding touched";
      }
      set += v == 3;
    }
  EXPECT_EQ(set, long(std::count(m.Coverage.begin(), m.Coverage.end(), 255)));
}

TEST(TextRenderer, DrawBlendsTheColourWhereTextCovers) {
  TTextRenderer r(Pinned(kDejaVu, 24));
  const TTextExtent e = r.Measure("Go");
  TBitmap32 canvas(100, 60);
  r.Draw(canvas, 10, 10, "Go", 0xFFFFFF00);
  int opaque = 0;
  for (int y = 0; y < canvas.Height(); ++y)
    for (int x = 0; x < canvas.Width(); ++x) {
      const TColor32 p = canvas.Pixel(x, y);
      if (AlphaComponent(p) == 0) continue;
      EXPECT_EQ(p & 0x00FFFFFFu, 0x00FFFF00u) << "colour kept over a transparent ground";
      EXPECT_TRUE(x >= 10 && x < 10 + e.Width + 2 && y >= 10 && y < 10 + e.Height()) << x << "," << y;
      opaque += AlphaComponent(p) == 255;
    }
  EXPECT_GT(opaque, 50);
}

TEST(TextRenderer, DamagedTextIsHandledAndRunawayLinesAreCut) {
  TTextRenderer r(Pinned(kDejaVu, 24));
  EXPECT_EQ(DecodeUtf8("a\xC3\x28\xF0\x9F"), (std::u32string{U'a', 0xFFFD, U'(', 0xFFFD, 0xFFFD}));
  EXPECT_GT(r.Measure("a\xFF\xFEz").Width, r.Measure("az").Width);  // replacement characters take room
  const std::string line(20000, 'W');
  const TTextMask m = r.RenderMask(line);
  EXPECT_GT(r.Measure(line).Width, TBitmap32::kMaxSide);
  EXPECT_LE(m.Width, TBitmap32::kMaxSide + 2 * 24);
}

}  // namespace
}  // namespace vidoria
