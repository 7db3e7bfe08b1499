#pragma once
// The disc's menu: one page per group of titles, each a still picture with the menu
// title, one text entry per title, a page counter and, with several pages, two arrow
// buttons to turn pages. The pages know where each button sits, how its highlight
// looks, which buttons are its neighbours and which program chain it starts; they are
// drawn as a background layer and a text layer, and the button shapes go into an
// 8-bit highlight picture shown as the page's sub-picture.
//
// Coordinates. Pages are composed on a canvas (720 × 540 for 4:3) that the encoder
// scales to the frame (720 × 576 PAL, 720 × 480 NTSC). The highlight picture is
// PageWidth × PageHeight and sits at frame row kHighlightTop. A button's vertical
// place is taken from where its text lands in the frame, so its shape lines up with
// its text whatever the canvas height; the rectangles handed to the navigation packs
// are frame coordinates.

#include "app/U_LogConsts.h"
#include "common/U_DVDPalette.h"
#include "encode/U_Encoder_50.h"
#include "ifo/U_IfoCommands.h"
#include "ifo/U_MenuPgcLayout.h"
#include "mux/U_MuxPacket.h"
#include "platform/Bitmap32.h"
#include "platform/TextRenderer.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vidoria {

class TDVD_Menu_collection;
class TMenuPage;
class TVobuCollection;

inline constexpr int kMenuMinEntriesPerPage = 1;
inline constexpr int kMenuMaxEntriesPerPage = 24;
// Frame row of the highlight picture's first row.
inline constexpr int kHighlightTop = 2;
inline constexpr int kButtonShapeSize = 16;

// The fixed page palette, 0xAARRGGBB: entry 0 is transparent black, the others opaque.
inline constexpr std::array<TColor32, 16> kMenuPagePalette = {
    0x00000000, 0xFF9B6600, 0xFFCC9B00, 0xFFFFFF00, 0xFFFFFF9B, 0xFFFFCC66, 0xFFFF3300, 0xFF980000,
    0xFFFFFFFF, 0xFF003398, 0xFF009BFF, 0xFF9BCCFF, 0xFFCCFFFF, 0xFF006600, 0xFF66CC33, 0xFF9BFF66,
};
// Page palette entry and opacity of the highlight pixel values 0..3 outside buttons.
inline constexpr std::array<uint8_t, 4> kMenuHighlightIndex = {0, 4, 8, 14};
inline constexpr std::array<uint8_t, 4> kMenuHighlightAlpha = {0, 255, 255, 255};

// One selection/action colour set: page palette entries and contrasts for the
// highlight pixel values 0, 1, 2, 3.
struct TButtonColorSet {
  std::array<uint8_t, 4> SelectColor, SelectContrast, ActionColor, ActionContrast;
};
// The three colour sets of every page. All buttons use set 1: a shape (pixel value 1)
// is pale yellow normally, orange-red when selected and light blue when activated.
inline constexpr std::array<TButtonColorSet, 3> kMenuButtonColorSets = {{
    {{0, 6, 8, 8}, {0, 15, 15, 15}, {0, 10, 8, 8}, {0, 15, 15, 15}},
    {{0, 10, 11, 12}, {0, 8, 8, 8}, {0, 13, 14, 15}, {0, 8, 8, 8}},
    {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}},
}};
// The sets as the navigation packs carry them: per set, selection colours, selection
// contrasts, action colours, action contrasts, two bytes each, holding the 4-bit
// values of pixel values 3, 2, 1, 0 from the high half of the first byte on.
std::array<uint8_t, 24> PackButtonColors(const std::array<TButtonColorSet, 3>& sets);

// An 8-bit picture of palette indices, top row first.
struct TIndexedPicture {
  int Width = 0, Height = 0;
  std::vector<uint8_t> Pixels;

  TIndexedPicture() = default;
  TIndexedPicture(int width, int height, uint8_t fill = 0);
  bool Contains(int x, int y) const { return x >= 0 && y >= 0 && x < Width && y < Height; }
  uint8_t At(int x, int y) const { return Pixels[size_t(y) * size_t(Width) + size_t(x)]; }
  void Set(int x, int y, uint8_t v) { Pixels[size_t(y) * size_t(Width) + size_t(x)] = v; }
  // Copies the non-zero pixels of `shape` with its top-left corner at (x, y), clipped.
  void DrawShape(const TIndexedPicture& shape, int x, int y);
};

enum class TButtonShape { Box, ArrowLeft, ArrowRight, ArrowUp, ArrowDown };
// A size × size shape of palette indices: 0 around, 1 inside. The box fills the
// top-left (size − 1) × (size − 1) pixels; the arrows are triangles (a pixel belongs
// to one when its centre does).
TIndexedPicture MakeButtonShape(TButtonShape shape, int size = kButtonShapeSize);

// A highlight rectangle; all four edges are inside it, as the navigation packs count.
struct TButtonRect {
  int Left = 0, Right = 0, Top = 0, Bottom = 0;
  bool operator==(const TButtonRect&) const = default;
};

class TMenuButton {
 public:
  explicit TMenuButton(TMenuPage* page);

  TMenuPage* Page = nullptr;
  TFont Font;         // entry buttons take the collection's items font
  std::string Text;   // empty for arrows
  float X = 0.15f;    // fractions of the page width and height; for entries the text
  float Y = 0.0f;     // starts at X and is centred on Y
  TButtonShape ShapeKind = TButtonShape::Box;
  TIndexedPicture Shape;
  TNavCommand Command{};
  // Neighbours on the same page; none means the button itself.
  TMenuButton* Up = nullptr;
  TMenuButton* Down = nullptr;
  TMenuButton* Left = nullptr;
  TMenuButton* Right = nullptr;
  uint8_t ColorTable = 1;
  bool AutoAction = false;
  uint16_t Target = 0;  // menu program chain the command starts

  // The rectangle in a page `width` wide whose centre row is `yc`: the shape stands
  // with its right edge 10 pixels left of W·X.
  TButtonRect RectAt(int width, int yc) const;
};

class TMenuPage {
 public:
  explicit TMenuPage(TDVD_Menu_collection* collection);
  TMenuPage(const TMenuPage&) = delete;
  TMenuPage& operator=(const TMenuPage&) = delete;

  TDVD_Menu_collection* Collection = nullptr;
  std::array<TColor32, 16> PagePalette = kMenuPagePalette;
  std::array<uint8_t, 4> HighlightIndex = kMenuHighlightIndex;
  std::array<uint8_t, 4> HighlightAlpha = kMenuHighlightAlpha;
  std::array<uint8_t, 24> ButtonColors;
  TBitmap32 Background, Overlay;
  TIndexedPicture Highlight;  // PageWidth × PageHeight, built by BuildHighlight
  int PageIndex = 0;
  int EntryCount = 0;
  bool IsFirst = false, IsLast = false;

  // Replaces the buttons by one entry per name (and the arrows when the collection
  // has several pages). Titles are numbered over the whole collection.
  void SetEntries(const std::vector<std::string>& names);

  size_t ButtonCount() const { return buttons_.size(); }
  TMenuButton& Button(size_t i) { return *buttons_[i]; }
  const TMenuButton& Button(size_t i) const { return *buttons_[i]; }
  // 1-based number of `b` on this page; `self`'s number when `b` is none.
  int ButtonNumber(const TMenuButton* b, const TMenuButton& self) const;
  // The button's highlight rectangle in the highlight picture.
  TButtonRect ButtonRect(const TMenuButton& b) const;
  // Colour sets and buttons for the navigation packs, rectangles in frame coordinates.
  TNavHighlight NavHighlight() const;

 private:
  std::vector<std::unique_ptr<TMenuButton>> buttons_;
};

class TDVD_Menu_collection : public TLoggingObject {
 public:
  explicit TDVD_Menu_collection(bool pal = true);

  void SetStandard(bool pal);
  bool PAL() const { return pal_; }
  int PageWidth() const { return 720; }
  int PageHeight() const { return pal_ ? 572 : 476; }
  int FrameHeight() const { return pal_ ? 576 : 480; }

  // Clamped to 1..24; a change drops the pages.
  void SetEntriesPerPage(int n);
  int EntriesPerPage() const { return entriesPerPage_; }

  TFont ItemsFont;  // entries and page counter
  TFont TitleFont;
  std::string MenuTitle;
  std::filesystem::path BackgroundFile;
  // The canvas the pages are composed on and scaled from into the frame.
  int CanvasWidth = 720, CanvasHeight = 540;

  // Spreads the titles over pages and gives every page its buttons. Returns the page
  // count; 0, with an error in the log, when there are no titles or when the menu's
  // program chains would not fit the manager's table. Loads the background picture;
  // a picture that cannot be used leaves the pages without one (they get a gradient)
  // and a warning in the log.
  int BuildPages(const std::vector<std::string>& titles);
  int PageCount() const { return int(pages_.size()); }
  int EntryCount() const { return entryCount_; }
  TMenuPage& Page(int i) { return *pages_[size_t(i)]; }
  const TMenuPage& Page(int i) const { return *pages_[size_t(i)]; }
  TMenuPgcLayout PgcLayout() const { return {PageCount(), entryCount_}; }
  // The program chains a menu of `titles` titles at `entriesPerPage` (clamped as
  // SetEntriesPerPage does) would need; Fits() tells whether a disc can hold them.
  static TMenuPgcLayout LayoutFor(int titles, int entriesPerPage);
  // Logs the refusal of a layout that does not fit.
  static void LogTooLarge(const TLoggingObject& log, const TMenuPgcLayout& layout);
  // The loaded background picture shared by all pages; empty when there is none.
  const TBitmap32& BackgroundPicture() const { return background_; }

  // Row of the highlight picture on which a button at fraction `y` is centred: where
  // the canvas row of its text lands in the frame.
  int ButtonCentreRow(float y) const;

  // Prepares the page's layers on a W × H canvas: the background picture scaled to
  // cover and cropped to the middle (or a blue-to-white gradient), and the texts with
  // their shadows on a transparent layer.
  bool ComposePage(TMenuPage& page, int width, int height);
  // One frame: opaque black, the background at `backgroundAlpha`, the texts on top.
  void PaintFrame(const TMenuPage& page, TBitmap32& canvas, uint8_t backgroundAlpha) const;
  // Draws every button's shape into the page's highlight picture.
  void BuildHighlight(TMenuPage& page) const;
  // The page's highlight as a forced sub-picture unit on MenuPalette, carrying the
  // page's buttons for the navigation packs. False (logged) when it cannot be built.
  bool BuildHighlightUnit(TMenuPage& page, TEncodedSubpicture& unit);

  // Encodes every page (10 s of still picture fading in, with its highlight) and a
  // closing one-frame black still into `file`, replacing it. Returns the collection
  // of the written VOBUs and cells; none (logged) on failure or when Cancelled said so.
  std::shared_ptr<TVobuCollection> EncodeMenus(const std::filesystem::path& file, bool widescreen);

  // The menu's 16 colours, loaded from the page palette while encoding.
  std::shared_ptr<TDVDPalette> MenuPalette = std::make_shared<TDVDPalette>();
  TMenuPage* CurrentPage = nullptr;
  TFFMpeg_encoder::TProgress OnProgress;
  // Polled once per frame; true ends the encoding.
  std::function<bool()> Cancelled;

 private:
  bool LoadBackground();

  bool pal_ = true;
  int entriesPerPage_ = 4;
  int entryCount_ = 0;
  TBitmap32 background_;
  std::vector<std::unique_ptr<TMenuPage>> pages_;
};

// The part of the picture of `srcWidth` × `srcHeight` that, scaled to cover a
// `width` × `height` canvas, fills it: the middle, cut on the sides that stick out.
TRect CoverSourceRect(int srcWidth, int srcHeight, int width, int height);

}  // namespace vidoria
