#include "menus/U_Menu_50.h"

#include "menus/ImageFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
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

struct LogCapture {
  std::vector<std::pair<TSeverity, std::string>> entries;
  void Attach(TLoggingObject& o) {
    o.LogCallback = [this](const void*, TSeverity s, const std::string& t) { entries.emplace_back(s, t); };
  }
  int Count(TSeverity s) const {
    int n = 0;
    for (const auto& e : entries) n += e.first == s;
    return n;
  }
};

TNavCommand JumpTo(uint16_t pgc) {
  TNavCommand c{};
  JumpManagerPgc(c, pgc);
  return c;
}

// ---- page spreading ----

struct SpreadCase {
  int titles, perPage;
  std::vector<int> entries;  // per page
};

class MenuSpread : public ::testing::TestWithParam<SpreadCase> {};

TEST_P(MenuSpread, SpreadsTitlesInOrderOverPages) {
  const SpreadCase& c = GetParam();
  TDVD_Menu_collection menu(true);
  menu.SetEntriesPerPage(c.perPage);
  ASSERT_EQ(menu.BuildPages(Names(c.titles)), int(c.entries.size()));
  EXPECT_EQ(menu.EntryCount(), c.titles);
  const int pages = int(c.entries.size());
  int title = 0;
  for (int p = 0; p < pages; ++p) {
    const TMenuPage& page = menu.Page(p);
    SCOPED_TRACE("page " + std::to_string(p));
    EXPECT_EQ(page.PageIndex, p);
    EXPECT_EQ(page.IsFirst, p == 0);
    EXPECT_EQ(page.IsLast, p == pages - 1);
    EXPECT_EQ(page.EntryCount, c.entries[size_t(p)]);
    // Entries first, then the two arrows when there are several pages.
    ASSERT_EQ(page.ButtonCount(), size_t(c.entries[size_t(p)] + (pages > 1 ? 2 : 0)));
    for (int k = 0; k < page.EntryCount; ++k) {
      const TMenuButton& b = page.Button(size_t(k));
      ++title;
      EXPECT_EQ(b.Text, "Title " + std::to_string(title));
      // Title t (1-based) starts from menu program chain M + 1 + t.
      EXPECT_EQ(b.Target, pages + 1 + title);
      EXPECT_EQ(b.Command, JumpTo(b.Target));
      EXPECT_EQ(b.ColorTable, 1);
      EXPECT_FALSE(b.AutoAction);
      EXPECT_FLOAT_EQ(b.X, 0.15f);
      EXPECT_FLOAT_EQ(b.Y, 0.8f / float(c.perPage + 1) * float(k + 1) + 0.1f);
      EXPECT_EQ(b.Font, menu.ItemsFont);
    }
  }
  EXPECT_EQ(title, c.titles);
}

INSTANTIATE_TEST_SUITE_P(Cases, MenuSpread,
                         ::testing::Values(SpreadCase{9, 4, {4, 4, 1}}, SpreadCase{4, 4, {4}}, SpreadCase{1, 4, {1}},
                                           SpreadCase{5, 1, {1, 1, 1, 1, 1}}, SpreadCase{30, 24, {24, 6}}));

TEST(Menu, FourTitlesOnOnePageTargetThreeToSix) {
  TDVD_Menu_collection menu(true);
  ASSERT_EQ(menu.BuildPages(Names(4)), 1);
  std::vector<int> targets;
  for (size_t i = 0; i < menu.Page(0).ButtonCount(); ++i) targets.push_back(menu.Page(0).Button(i).Target);
  EXPECT_EQ(targets, (std::vector<int>{3, 4, 5, 6}));
}

TEST(Menu, LastPageWithOneEntryIsItsOwnNeighbour) {
  TDVD_Menu_collection menu(true);
  ASSERT_EQ(menu.BuildPages(Names(9)), 3);
  const TMenuPage& last = menu.Page(2);
  const TMenuButton& only = last.Button(0);
  EXPECT_EQ(only.Up, &only);
  EXPECT_EQ(only.Down, &only);
  EXPECT_FLOAT_EQ(only.Y, 0.26f);
  EXPECT_EQ(only.Target, 3 + 1 + 9);  // M + 1 + t with M = 3, t = 9
}

TEST(Menu, EntryNeighboursWrapAroundOnASinglePage) {
  TDVD_Menu_collection menu(true);
  ASSERT_EQ(menu.BuildPages(Names(3)), 1);
  TMenuPage& page = menu.Page(0);
  ASSERT_EQ(page.ButtonCount(), 3u);
  // Button numbers (1-based) of up / down / left / right for each entry.
  const int expected[3][4] = {{3, 2, 1, 1}, {1, 3, 2, 2}, {2, 1, 3, 3}};
  const TNavHighlight nav = page.NavHighlight();
  for (int k = 0; k < 3; ++k) {
    const TNavButton& b = nav.Buttons[size_t(k)];
    EXPECT_EQ(b.Up, expected[k][0]) << k;
    EXPECT_EQ(b.Down, expected[k][1]) << k;
    EXPECT_EQ(b.Left, expected[k][2]) << k;
    EXPECT_EQ(b.Right, expected[k][3]) << k;
  }
}

// Arrow targets for pages of a collection: {previous, next} per page.
struct ArrowCase {
  int titles;
  std::vector<std::pair<int, int>> targets;
};

class MenuArrows : public ::testing::TestWithParam<ArrowCase> {};

TEST_P(MenuArrows, TurnPagesAndWrapAround) {
  const ArrowCase& c = GetParam();
  TDVD_Menu_collection menu(true);
  ASSERT_EQ(menu.BuildPages(Names(c.titles)), int(c.targets.size()));
  for (int p = 0; p < menu.PageCount(); ++p) {
    TMenuPage& page = menu.Page(p);
    SCOPED_TRACE("page " + std::to_string(p));
    const size_t n = size_t(page.EntryCount);
    ASSERT_EQ(page.ButtonCount(), n + 2);
    const TMenuButton& prev = page.Button(n);
    const TMenuButton& next = page.Button(n + 1);
    EXPECT_EQ(prev.Target, c.targets[size_t(p)].first);
    EXPECT_EQ(next.Target, c.targets[size_t(p)].second);
    EXPECT_EQ(prev.Command, JumpTo(prev.Target));
    EXPECT_EQ(next.Command, JumpTo(next.Target));
    EXPECT_TRUE(prev.Text.empty());
    EXPECT_FLOAT_EQ(prev.X, 0.12f);
    EXPECT_FLOAT_EQ(next.X, 0.88f);
    EXPECT_FLOAT_EQ(prev.Y, 0.9f);
    EXPECT_EQ(prev.ShapeKind, TButtonShape::ArrowLeft);
    EXPECT_EQ(next.ShapeKind, TButtonShape::ArrowRight);

    const TNavHighlight nav = page.NavHighlight();
    const int prevNo = int(n) + 1, nextNo = int(n) + 2, lastEntry = int(n);
    for (size_t k = 0; k < n; ++k) {
      EXPECT_EQ(nav.Buttons[k].Left, prevNo);
      EXPECT_EQ(nav.Buttons[k].Right, nextNo);
    }
    for (const TNavButton* a : {&nav.Buttons[n], &nav.Buttons[n + 1]}) {
      EXPECT_EQ(a->Up, lastEntry);
      EXPECT_EQ(a->Down, 1);
    }
    EXPECT_EQ(nav.Buttons[n].Left, nextNo);
    EXPECT_EQ(nav.Buttons[n].Right, nextNo);
    EXPECT_EQ(nav.Buttons[n + 1].Left, prevNo);
    EXPECT_EQ(nav.Buttons[n + 1].Right, prevNo);
  }
}

// Page P shows in program chain P + 2.
INSTANTIATE_TEST_SUITE_P(Cases, MenuArrows,
                         ::testing::Values(ArrowCase{8, {{3, 3}, {2, 2}}},
                                           ArrowCase{9, {{4, 3}, {2, 4}, {3, 2}}}));

TEST(Menu, EntriesPerPageAreClampedAndAChangeDropsThePages) {
  TDVD_Menu_collection menu(true);
  menu.SetEntriesPerPage(30);
  EXPECT_EQ(menu.EntriesPerPage(), 24);
  menu.SetEntriesPerPage(0);
  EXPECT_EQ(menu.EntriesPerPage(), 1);
  menu.SetEntriesPerPage(4);
  ASSERT_EQ(menu.BuildPages(Names(5)), 2);
  menu.SetEntriesPerPage(4);
  EXPECT_EQ(menu.PageCount(), 2);
  menu.SetEntriesPerPage(6);
  EXPECT_EQ(menu.PageCount(), 0);
}

TEST(Menu, RefusesMenusBeyondTheProgramChainTable) {
  struct Case {
    int titles, perPage;
    bool fits;
  } cases[] = {
      {0, 4, false},
      {48, 1, true},    // 48 + 48 + 3 = 99
      {49, 1, false},   // 49 + 49 + 3 = 101
      {93, 24, true},   // 4 + 93 + 3 = 100
      {94, 24, false},  // 4 + 94 + 3 = 101
  };
  for (const Case& c : cases) {
    TDVD_Menu_collection menu(true);
    LogCapture log;
    log.Attach(menu);
    menu.SetEntriesPerPage(c.perPage);
    const int pages = menu.BuildPages(Names(c.titles));
    EXPECT_EQ(pages > 0, c.fits) << c.titles;
    EXPECT_EQ(menu.PageCount(), pages);
    EXPECT_EQ(log.Count(EVT_ERROR), c.fits ? 0 : 1) << c.titles;
    if (c.fits) {
      // The highest target, the last title's, stays inside the table.
      const TMenuPage& last = menu.Page(pages - 1);
      EXPECT_LE(last.Button(size_t(last.EntryCount - 1)).Target, TMenuPgcLayout::kMaxPgcs);
    }
  }
}

// ---- colours and shapes ----

TEST(Menu, ButtonColourTablesAsTheNavigationPacksCarryThem) {
  const std::array<uint8_t, 24> expected = {
      0x88, 0x60, 0xFF, 0xF0, 0x88, 0xA0, 0xFF, 0xF0,  // set 1
      0xCB, 0xA0, 0x88, 0x80, 0xFE, 0xD0, 0x88, 0x80,  // set 2
      0, 0, 0, 0, 0, 0, 0, 0,                          // set 3
  };
  TDVD_Menu_collection menu(true);
  ASSERT_EQ(menu.BuildPages(Names(2)), 1);
  EXPECT_EQ(menu.Page(0).ButtonColors, expected);
  EXPECT_EQ(menu.Page(0).NavHighlight().ColourTable, expected);
  // Highlight value 1 outside buttons is pale yellow, 0 invisible.
  EXPECT_EQ(kMenuPagePalette[kMenuHighlightIndex[1]], 0xFFFFFF9Bu);
  EXPECT_EQ(kMenuHighlightAlpha[0], 0);
}

// Rows of a shape as text, '#' for index 1.
std::vector<std::string> Rows(const TIndexedPicture& p) {
  std::vector<std::string> rows;
  for (int y = 0; y < p.Height; ++y) {
    std::string r;
    for (int x = 0; x < p.Width; ++x) r += p.At(x, y) == 1 ? '#' : (p.At(x, y) == 0 ? '.' : '?');
    rows.push_back(r);
  }
  return rows;
}

TEST(Menu, ButtonShapes) {
  const TIndexedPicture box = MakeButtonShape(TButtonShape::Box);
  ASSERT_EQ(box.Width, 16);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) EXPECT_EQ(box.At(x, y), (x < 15 && y < 15) ? 1 : 0) << x << "," << y;

  // A pixel is inside when its centre is: rows of 1, 3, .. 15 pixels and back.
  const std::vector<std::string> left = {
      "...............#", ".............###", "...........#####", ".........#######",
      ".......#########", ".....###########", "...#############", ".###############",
      ".###############", "...#############", ".....###########", ".......#########",
      ".........#######", "...........#####", ".............###", "...............#",
  };
  EXPECT_EQ(Rows(MakeButtonShape(TButtonShape::ArrowLeft)), left);
  // The right arrow is the left one mirrored.
  std::vector<std::string> right = left;
  for (auto& r : right) std::reverse(r.begin(), r.end());
  EXPECT_EQ(Rows(MakeButtonShape(TButtonShape::ArrowRight)), right);
}

TEST(Menu, ButtonRectangleStandsLeftOfTheText) {
  TMenuButton b(nullptr);
  b.Shape = MakeButtonShape(TButtonShape::Box);
  b.X = 0.15f;
  // xc = 108: the shape ends 10 pixels before the text starts.
  EXPECT_EQ(b.RectAt(720, 100), (TButtonRect{82, 99, 92, 109}));
}

TEST(Menu, HighlightLinesUpWithTheTextInTheFrame) {
  for (bool pal : {true, false}) {
    TDVD_Menu_collection menu(pal);
    ASSERT_EQ(menu.BuildPages(Names(5)), 2);
    TMenuPage& page = menu.Page(0);
    menu.BuildHighlight(page);
    ASSERT_EQ(page.Highlight.Width, 720);
    ASSERT_EQ(page.Highlight.Height, pal ? 572 : 476);
    const TNavHighlight nav = page.NavHighlight();
    ASSERT_EQ(nav.Buttons.size(), page.ButtonCount());
    int shapePixels = 0;
    for (size_t i = 0; i < page.ButtonCount(); ++i) {
      const TMenuButton& b = page.Button(i);
      const TButtonRect r = page.ButtonRect(b);
      // The shape is drawn at the rectangle's top-left corner, in index 1.
      for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) EXPECT_EQ(page.Highlight.At(r.Left + x, r.Top + y), b.Shape.At(x, y));
      // The text's centre row on the 540-row canvas, carried into the frame, is the
      // button's centre row there.
      const double frameRow = std::lround(540.0 * b.Y) * (pal ? 576.0 : 480.0) / 540.0;
      const TNavButton& nb = nav.Buttons[i];
      EXPECT_EQ(nb.YStart, r.Top + kHighlightTop);
      EXPECT_EQ(nb.YEnd, r.Bottom + kHighlightTop);
      EXPECT_NEAR((nb.YStart + nb.YEnd - 1) / 2.0, frameRow, 1.0) << i;
      EXPECT_EQ(nb.XStart, r.Left);
      EXPECT_EQ(nb.XEnd, r.Right);
      EXPECT_EQ(nb.Colour, 1);
      EXPECT_EQ(nb.Command, b.Command);
    }
    for (uint8_t v : page.Highlight.Pixels) {
      ASSERT_LE(v, 1);
      shapePixels += v;
    }
    // 4 boxes of 15 × 15 and two arrows.
    EXPECT_EQ(shapePixels, 4 * 225 + 2 * 128);
  }
}

// ---- backgrounds and composition ----

class MenuBackground : public ::testing::Test {
 protected:
  TempDir dir;
  TDVD_Menu_collection menu{true};
  LogCapture log;
  void SetUp() override {
    log.Attach(menu);
    menu.TitleFont.Name = kDejaVu;
    menu.ItemsFont.Name = kDejaVu;
  }
  TMenuPage& Composed(const std::filesystem::path& background, int titles = 1) {
    menu.BackgroundFile = background;
    EXPECT_EQ(menu.BuildPages(Names(titles)), 1);
    EXPECT_TRUE(menu.ComposePage(menu.Page(0), 720, 540));
    return menu.Page(0);
  }
};

TEST_F(MenuBackground, UnusablePicturesFallBackToTheGradientWithAWarning) {
  ASSERT_TRUE(test::MakeMedia(dir / "huge.png", "-f lavfi -i color=red:s=9000x16 -frames:v 1"));
  ASSERT_TRUE(test::MakeMedia(dir / "strip.png", "-f lavfi -i color=red:s=2000x100 -frames:v 1"));
  test::WriteFile(dir / "corrupt.jpg", std::string("\xFF\xD8\xFF\xE0garbage", 11) + std::string(3000, 'x'));
  test::WriteFile(dir / "text.png", "not a picture at all");
  for (const char* name : {"missing.png", "huge.png", "strip.png", "corrupt.jpg", "text.png"}) {
    SCOPED_TRACE(name);
    log.entries.clear();
    const TMenuPage& page = Composed(dir / name);
    EXPECT_EQ(log.Count(EVT_WARNING), 1);
    EXPECT_EQ(log.Count(EVT_ERROR), 0);
    ASSERT_EQ(page.Background.Width(), 720);
    // Blue on the left, nearly white in the last whole band (k = 99 of 100).
    EXPECT_EQ(page.Background.Pixel(0, 270), 0xFF0000FFu);
    EXPECT_EQ(page.Background.Pixel(719, 270), 0xFFFCFCFFu);
  }
  // No background chosen: the gradient, quietly.
  log.entries.clear();
  Composed({});
  EXPECT_TRUE(log.entries.empty());
}

// Colours made by ffmpeg's colour source pass through YUV and come back a few steps off.
void ExpectColor(TColor32 got, TColor32 want) {
  EXPECT_EQ(AlphaComponent(got), AlphaComponent(want));
  EXPECT_NEAR(RedComponent(got), RedComponent(want), 4) << std::hex << got;
  EXPECT_NEAR(GreenComponent(got), GreenComponent(want), 4) << std::hex << got;
  EXPECT_NEAR(BlueComponent(got), BlueComponent(want), 4) << std::hex << got;
}

TEST_F(MenuBackground, PicturesAreScaledToCoverAndCroppedToTheMiddle) {
  // 1440 × 1080 is exactly 4:3: halved, nothing cut.
  ASSERT_TRUE(test::MakeMedia(dir / "43.png",
                              "-f lavfi -i color=red:s=720x1080 -f lavfi -i color=blue:s=720x1080 "
                              "-filter_complex hstack -frames:v 1"));
  // 1920 × 1080 keeps its middle 1440 columns.
  ASSERT_TRUE(test::MakeMedia(dir / "169.png",
                              "-f lavfi -i color=red:s=240x1080 -f lavfi -i color=lime:s=1440x1080 "
                              "-f lavfi -i color=blue:s=240x1080 -filter_complex hstack=3 -frames:v 1"));
  EXPECT_EQ(CoverSourceRect(1440, 1080, 720, 540), RectOf(0, 0, 1440, 1080));
  EXPECT_EQ(CoverSourceRect(1920, 1080, 720, 540), RectOf(240, 0, 1440, 1080));
  EXPECT_EQ(CoverSourceRect(1000, 2000, 720, 540), RectOf(0, 625, 1000, 750));

  // Corners stay clear of the texts.
  const TMenuPage& halved = Composed(dir / "43.png");
  EXPECT_TRUE(log.entries.empty());
  ExpectColor(halved.Background.Pixel(359, 530), 0xFFFF0000u);
  ExpectColor(halved.Background.Pixel(360, 530), 0xFF0000FFu);
  const TMenuPage& cropped = Composed(dir / "169.png");
  for (int x : {0, 719}) ExpectColor(cropped.Background.Pixel(x, 530), 0xFF00FF00u);
}

TEST(ImageFile, DecodesPngJpegAndBmp) {
  TempDir dir;
  for (const char* name : {"a.png", "a.jpg", "a.bmp"}) {
    ASSERT_TRUE(test::MakeMedia(dir / name, "-f lavfi -i color=0x3060C0:s=64x48 -frames:v 1"));
    TBitmap32 pic;
    std::string error;
    ASSERT_TRUE(LoadImageFile(dir / name, pic, error)) << name << ": " << error;
    ASSERT_EQ(pic.Width(), 64);
    ASSERT_EQ(pic.Height(), 48);
    const TColor32 c = pic.Pixel(32, 24);
    EXPECT_EQ(AlphaComponent(c), 255) << name;
    EXPECT_NEAR(RedComponent(c), 0x30, 6) << name;
    EXPECT_NEAR(GreenComponent(c), 0x60, 6) << name;
    EXPECT_NEAR(BlueComponent(c), 0xC0, 6) << name;
  }
}

// Bounding box of the pixels that differ from `ground`.
TRect Changed(const TBitmap32& b, TColor32 ground, TRect within) {
  TRect r{within.Right, within.Bottom, within.Left, within.Top};
  for (int y = within.Top; y < within.Bottom; ++y)
    for (int x = within.Left; x < within.Right; ++x)
      if (b.Pixel(x, y) != ground) {
        r.Left = std::min(r.Left, x);
        r.Top = std::min(r.Top, y);
        r.Right = std::max(r.Right, x + 1);
        r.Bottom = std::max(r.Bottom, y + 1);
      }
  return r;
}

TEST_F(MenuBackground, OverlayHoldsTitleEntriesAndCounterWhereTheyBelong) {
  menu.MenuTitle = "My holidays";
  menu.BackgroundFile.clear();
  ASSERT_EQ(menu.BuildPages({"Beach", "A very long entry name that cannot possibly fit on one line of the menu page",
                             "Mountains", "Lake", "Forest"}),
            2);
  TMenuPage& page = menu.Page(0);
  ASSERT_TRUE(menu.ComposePage(page, 720, 540));
  EXPECT_EQ(page.Overlay.Width(), 720);

  // Title centred on (360, 54).
  const TRect title = Changed(page.Overlay, 0, TRect{0, 0, 720, 100});
  EXPECT_NEAR((title.Left + title.Right) / 2.0, 360, 8);
  EXPECT_NEAR((title.Top + title.Bottom) / 2.0, 54, 8);
  // Entry k from x = 108, centred on 540·Y. The text layer starts there; the letters
  // begin at margin + XOffset = 12 − 4 = 8 pixels into it.
  for (int k = 0; k < 4; ++k) {
    const int cy = int(std::lround(540.0 * page.Button(size_t(k)).Y));
    const TRect band = Changed(page.Overlay, 0, TRect{0, cy - 20, 720, cy + 20});
    SCOPED_TRACE(k);
    EXPECT_GE(band.Left, k == 1 ? 108 : 108 + 8);  // squeezed, the 8 pixels shrink too
    EXPECT_LE(band.Left, 108 + 8 + 4);
    // The long entry is squeezed into its width limit, 720 − 108 − 50; its ink ends a
    // squeezed margin before the limit.
    if (k == 1) {
      EXPECT_LE(band.Right, 108 + 562);
      EXPECT_GE(band.Right, 108 + 562 - 20);
    }
    else EXPECT_LT(band.Right, 300);
  }
  // Page counter "1 / 2" centred on (360, 486).
  const TRect counter = Changed(page.Overlay, 0, TRect{0, 460, 720, 520});
  EXPECT_NEAR((counter.Left + counter.Right) / 2.0, 360, 8);

  // Painting: black at background alpha 0, the overlay at full strength at once.
  TBitmap32 canvas(720, 540);
  menu.PaintFrame(page, canvas, 0);
  EXPECT_EQ(canvas.Pixel(5, 530), 0xFF000000u);
  menu.PaintFrame(page, canvas, 255);
  EXPECT_EQ(canvas.Pixel(5, 530), page.Background.Pixel(5, 530));
  menu.PaintFrame(page, canvas, 128);
  const TColor32 half = canvas.Pixel(719, 530);  // over nearly white ground
  EXPECT_NEAR(RedComponent(half), 125, 3);
}

// Saves the first page of a menu, with its highlight over it, for a person to look at.
TEST_F(MenuBackground, RendersAPageForAPersonToLookAt) {
  const char* env = std::getenv("VIDORIA_ARTEFACT_DIR");
  const std::filesystem::path out = env ? std::filesystem::path(env) : std::filesystem::current_path() / "artefacts";
  std::filesystem::create_directories(out);
  menu.MenuTitle = "Summer 2026";
  menu.BackgroundFile = std::filesystem::path(VIDORIA_SOURCE_DIR) / "data" / "background" / "qor.jpg";
  ASSERT_EQ(menu.BuildPages({"Arrival", "The long walk along the coast to the old lighthouse", "Harbour",
                             "Évora – día", "Home"}),
            2);
  EXPECT_EQ(log.Count(EVT_WARNING), 0);
  TMenuPage& page = menu.Page(0);
  ASSERT_TRUE(menu.ComposePage(page, 720, 540));
  TBitmap32 canvas(720, 540);
  menu.PaintFrame(page, canvas, 255);
  menu.BuildHighlight(page);

  // The frame as a player shows it: canvas scaled to 576 rows, highlight value 1 in pale
  // yellow from row 2.
  TBitmap32 frame = canvas.Resampled(canvas.BoundsRect(), 720, 576);
  for (int y = 0; y < page.Highlight.Height; ++y)
    for (int x = 0; x < page.Highlight.Width; ++x)
      if (page.Highlight.At(x, y) == 1) frame.SetPixel(x, y + kHighlightTop, kMenuPagePalette[4]);

  const std::filesystem::path raw = out / "menu_page.bgra";
  {
    std::ofstream f(raw, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(frame.Bits()), std::streamsize(frame.Width()) * frame.Height() * 4);
  }
  const std::filesystem::path png = out / "menu_page.png";
  std::string outText;
  ASSERT_EQ(test::RunCommand("ffmpeg -nostdin -hide_banner -loglevel error -y -f rawvideo -pix_fmt bgra -s 720x576 "
                             "-i '" + raw.string() + "' -frames:v 1 '" + png.string() + "'",
                             &outText),
            0)
      << outText;
  std::filesystem::remove(raw);
  TBitmap32 back;
  std::string error;
  ASSERT_TRUE(LoadImageFile(png, back, error)) << error;
  EXPECT_EQ(back, frame);
}

}  // namespace
}  // namespace vidoria
