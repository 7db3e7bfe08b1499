// The four-colour rasteriser: text, outline and shadow values, placement, right-to-left
// lines, and inputs that must neither crash nor write outside the picture.
#include "platform/CodePages.h"
#include "subtitles/U_SubtitleMap8.h"

#include <gtest/gtest.h>

#include <set>

namespace vidoria {
namespace {

const char* const kDejaVu = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

struct Picture {
  TDVDPalette palette;
  TSubtitleMap8 map{kSttPictureWidth, palette, kSttPictureHeightPal};

  Picture() {
    TFont font;
    font.Name = kDejaVu;
    font.Size = 24;
    font.Color = 0xFFFFFF;
    map.Style.SetFont(font);
    map.Style.BackgroundColor = kSttTransparent;
    map.Style.OutlineColor = 0x000000;
  }
  void Render(const std::vector<std::string>& lines) {
    std::vector<std::u32string> u;
    for (const auto& l : lines) u.push_back(DecodeUtf8(l));
    map.SetLines(u);
    map.Render();
  }
  int Count(uint8_t v) const { return int(std::count(map.Pixels().begin(), map.Pixels().end(), v)); }
  std::set<uint8_t> Values() const { return {map.Pixels().begin(), map.Pixels().end()}; }
  // Bounding box of the pixels of value `v`: {left, top, right, bottom}, inclusive.
  std::array<int, 4> Box(uint8_t v) const {
    std::array<int, 4> b{INT32_MAX, INT32_MAX, -1, -1};
    for (int y = 0; y < map.Height(); ++y)
      for (int x = 0; x < map.Width(); ++x)
        if (map.PixelAt(x, y) == v) b = {std::min(b[0], x), std::min(b[1], y), std::max(b[2], x), std::max(b[3], y)};
    return b;
  }
};

TEST(SubtitleMap8, SingleColourGetsOutlineAndShadow) {
  Picture p;
  p.Render({"Hello World"});
  EXPECT_EQ(p.Values(), (std::set<uint8_t>{0, 1, 2, 3}));
  const TSubtitleMap8& m = p.map;
  for (int y = 0; y < m.Height(); ++y)
    for (int x = 0; x < m.Width(); ++x) {
      const uint8_t v = m.PixelAt(x, y);
      if (v == 3) {
        // Two pixels of outline (or text) on every side.
        for (int d = 1; d <= 2; ++d)
          for (auto [dx, dy] : {std::pair{d, 0}, {-d, 0}, {0, d}, {0, -d}})
            ASSERT_GE(m.PixelAt(x + dx, y + dy), 2) << x << "," << y;
      } else if (v == 1) {
        // Shadow only where text or outline stands 2 pixels up and left.
        ASSERT_GE(m.PixelAt(x - 2, y - 2), 2) << x << "," << y;
      } else if (v == 2) {
        bool nearText = false;
        for (int dy = -2; dy <= 2; ++dy)
          for (int dx = -2; dx <= 2; ++dx) nearText = nearText || (std::abs(dx) + std::abs(dy) <= 2 && m.PixelAt(x + dx, y + dy) == 3);
        ASSERT_TRUE(nearText) << x << "," << y;
      }
    }
  const auto text = p.Box(3), shadow = p.Box(1);
  EXPECT_EQ(shadow[2], text[2] + 4);  // outline 2 + shadow 2 beyond the text
  EXPECT_EQ(shadow[3], text[3] + 4);
  // The sub-picture colours in value order.
  const TSpuPicture pic = m.GetPicture();
  EXPECT_EQ(pic.Colours, (std::array<uint32_t, 4>{kSttTransparent, kSttDefaultShadow, 0x000000, 0xFFFFFF}));
  EXPECT_EQ(pic.Y, 2);
  EXPECT_EQ(pic.Width, 720);
  EXPECT_EQ(pic.Height, 572);
}

struct ColourCase {
  const char* name;
  std::string text;
  std::set<uint8_t> values;
};

TEST(SubtitleMap8, MoreColoursTakeTheShadowAndOutlineSlots) {
  const ColourCase cases[] = {
      {"colour tag around everything keeps outline and shadow", "<font color=\"#FFFF00\">Yellow</font>", {0, 1, 2, 3}},
      {"second colour: outline, no shadow", "White <font color=\"#FFFF00\">Yellow</font>", {0, 1, 2, 3}},
      {"third colour: neither", "W <font color=\"#FFFF00\">Y</font> <font color=\"#00FF00\">G</font>", {0, 1, 2, 3}},
  };
  for (const auto& c : cases) {
    Picture p;
    p.Render({c.text});
    EXPECT_EQ(p.Values(), c.values) << c.name;
  }
  // Told apart by where the values lie: the second colour is drawn in the shadow's
  // value, so no pixel of value 1 stands off the glyphs' own shapes.
  Picture two;
  two.Render({"White <font color=\"#FFFF00\">Yellow</font>"});
  EXPECT_EQ(two.map.ColorCount(), 2);
  EXPECT_EQ(two.map.GetPicture().Colours[1], 0xFFFF00u);
  const auto yellow = two.Box(1), white = two.Box(3);
  EXPECT_GT(yellow[0], white[2]);  // the yellow word lies right of the white one
  EXPECT_LE(two.Box(2)[3], std::max(yellow[3], white[3]) + 2);  // outline only, no shadow below it

  Picture three;
  three.Render({"W <font color=\"#FFFF00\">Y</font> <font color=\"#00FF00\">G</font>"});
  EXPECT_EQ(three.map.ColorCount(), 3);
  EXPECT_EQ(three.map.GetPicture().Colours[2], 0x00FF00u);
  const auto w = three.Box(3), y = three.Box(1), g = three.Box(2);
  EXPECT_LT(w[2], y[0]);  // W, then Y, then G: each value is one letter, nothing grown
  EXPECT_LT(y[2], g[0]);
}

TEST(SubtitleMap8, OutlineWidthAndConnexity) {
  Picture none;
  none.map.Style.OutlineSize = 0;
  none.Render({"Outline"});
  EXPECT_EQ(none.Values(), (std::set<uint8_t>{0, 1, 3}));

  for (bool full : {false, true}) {
    Picture p;
    p.map.Style.OutlineSize = 1;
    p.map.Style.ShadowAlign = STTA_MIDDLE_CENTER;  // no shadow
    p.map.Style.FullConnexity = full;
    p.Render({"AVOW xo"});
    int diagonalOnly = 0;
    const TSubtitleMap8& m = p.map;
    for (int y = 0; y < m.Height(); ++y)
      for (int x = 0; x < m.Width(); ++x) {
        if (m.PixelAt(x, y) == 3) continue;
        const bool side = m.PixelAt(x - 1, y) == 3 || m.PixelAt(x + 1, y) == 3 || m.PixelAt(x, y - 1) == 3 ||
                          m.PixelAt(x, y + 1) == 3;
        const bool corner = m.PixelAt(x - 1, y - 1) == 3 || m.PixelAt(x + 1, y - 1) == 3 ||
                            m.PixelAt(x - 1, y + 1) == 3 || m.PixelAt(x + 1, y + 1) == 3;
        EXPECT_EQ(m.PixelAt(x, y) == 2, side || (full && corner)) << full << " " << x << "," << y;
        if (!side && corner) ++diagonalOnly;
      }
    EXPECT_GT(diagonalOnly, 0);
  }
}

TEST(SubtitleMap8, Placement) {
  Picture bottom;
  bottom.Render({"Bottom line"});
  const int h = 32 + 4;  // 24 pt at 96 dpi is 32 pixels, plus 4
  const auto b = bottom.Box(3);
  EXPECT_GE(b[1], 572 - 33 - h);
  EXPECT_LT(b[3], 572 - 33 + 4);
  EXPECT_NEAR((b[0] + b[2]) / 2.0, 360, 4);

  Picture top;
  top.map.Style.Align = STTA_TOPLEFT;
  top.Render({"Top"});
  const auto t = top.Box(3);
  EXPECT_GE(t[1], 33);
  EXPECT_LT(t[1], 33 + h);
  EXPECT_NEAR(t[0], 38, 3);

  // A right-aligned line wider than the room left of the margin starts at 0.
  Picture right;
  right.map.Style.Align = STTA_BOTTOM_RIGHT;
  right.map.Style.LineBreak = 200;
  right.Render({"MMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMMM"});
  EXPECT_LE(right.Box(3)[0], 4);
  EXPECT_TRUE(right.map.Clipped());
}

TEST(SubtitleMap8, OpaqueBoxTakesTheOutlineValue) {
  Picture p;
  p.map.Style.OpaqueBox = true;
  p.Render({"Boxed"});
  const auto text = p.Box(3), box = p.Box(2);
  EXPECT_LE(box[0], text[0]);
  EXPECT_GE(box[2], text[2]);
  // Inside the box every pixel is box or text.
  for (int y = box[1] + 2; y < text[3]; ++y)
    for (int x = text[0]; x <= text[2]; ++x) ASSERT_GE(p.map.PixelAt(x, y), 2) << x << "," << y;
}

TEST(SubtitleMap8, RightToLeftDrawsPlainLinesAtThePosition) {
  Picture plain, marked;
  for (Picture* p : {&plain, &marked}) {
    p->map.RightToLeft = true;
    p->map.Position = 80;
  }
  plain.Render({"שלום עולם"});
  marked.Render({"<i>שלום <font color=\"#FF0000\">עולם</font></i>"});
  EXPECT_GT(plain.Count(3), 100);
  // Markup is never drawn as text, and the text keeps its colour.
  EXPECT_EQ(marked.Box(3), plain.Box(3));
  const auto b = plain.Box(3);
  EXPECT_LE(b[3], int(572 * 0.8));
  EXPECT_GE(b[1], int(572 * 0.8) - 36);
  EXPECT_NEAR((b[0] + b[2]) / 2.0, 360, 4);
}

// Inputs from damaged or unusual files: many lines, characters beyond the basic plane,
// characters no font has. Nothing is written outside the picture (checked by the
// sanitizer build) and only the four values appear.
TEST(SubtitleMap8, UnusualInputs) {
  Picture tall;
  std::vector<std::string> lines(30, "A line of a very tall event");
  tall.Render(lines);
  EXPECT_TRUE(tall.map.Clipped());
  EXPECT_GT(tall.Count(3), 0);
  EXPECT_LT(tall.Box(3)[1], 36);  // runs off the top

  Picture astral;
  astral.Render({"Math \U0001D400\U0001D401 and faces \U0001F600 end"});
  EXPECT_GT(astral.Count(3), 0);

  Picture missing;
  missing.Render({"\U0010FFFD\U000E0001\U0010FFFD", "ok"});
  EXPECT_GT(missing.Count(3), 0);

  Picture huge;
  huge.map.Style.OutlineSize = 60000;
  huge.map.Style.ShadowOffset = 60000;
  huge.Render({"x"});
  // The outline stops at a sane width; the shadow falls outside the picture.
  EXPECT_EQ(huge.Values(), (std::set<uint8_t>{0, 2, 3}));
  const auto x = huge.Box(3), ring = huge.Box(2);
  EXPECT_EQ(x[0] - ring[0], 32);

  for (const Picture* p : {&tall, &astral, &missing})
    for (uint8_t v : p->Values()) EXPECT_LE(v, 3);
}

TEST(SubtitleMap8, RejectsImpossibleSizes) {
  TDVDPalette palette;
  EXPECT_THROW(TSubtitleMap8(0, palette, 10), std::invalid_argument);
  EXPECT_THROW(TSubtitleMap8(720, palette, 5000), std::invalid_argument);
}

}  // namespace
}  // namespace vidoria
