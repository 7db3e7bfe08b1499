#include "menus/U_Menu_50.h"

#include "menus/ImageFile.h"
#include "menus/U_Bitmap32Gradient.h"
#include "mux/U_VobuCollection.h"
#include "subtitles/U_SubPictureUnit.h"

#include <algorithm>
#include <cmath>

namespace vidoria {

namespace {

TFont MenuFont(int size, TFontStyles style) {
  TFont f;
  f.Name = "Tahoma";
  f.Size = size;
  f.Style = style;
  f.Color = 0xFFFFFF;
  return f;
}

int RoundToInt(double v) { return int(std::lround(v)); }

// Four 4-bit values of pixel values 3, 2, 1, 0, from the high half of the first byte.
void PutNibbles(uint8_t* out, const std::array<uint8_t, 4>& v) {
  out[0] = uint8_t(((v[3] & 0xF) << 4) | (v[2] & 0xF));
  out[1] = uint8_t(((v[1] & 0xF) << 4) | (v[0] & 0xF));
}

// Even-odd test of a point against a polygon.
bool Inside(double px, double py, const std::vector<std::array<double, 2>>& poly) {
  bool in = false;
  for (size_t i = 0, j = poly.size() - 1; i < poly.size(); j = i++) {
    const double xi = poly[i][0], yi = poly[i][1], xj = poly[j][0], yj = poly[j][1];
    if ((yi > py) != (yj > py) && px < (xj - xi) * (py - yi) / (yj - yi) + xi) in = !in;
  }
  return in;
}

}  // namespace

std::array<uint8_t, 24> PackButtonColors(const std::array<TButtonColorSet, 3>& sets) {
  std::array<uint8_t, 24> out{};
  for (size_t i = 0; i < sets.size(); ++i) {
    uint8_t* p = out.data() + 8 * i;
    PutNibbles(p + 0, sets[i].SelectColor);
    PutNibbles(p + 2, sets[i].SelectContrast);
    PutNibbles(p + 4, sets[i].ActionColor);
    PutNibbles(p + 6, sets[i].ActionContrast);
  }
  return out;
}

// ---- TIndexedPicture ----

TIndexedPicture::TIndexedPicture(int width, int height, uint8_t fill)
    : Width(std::max(width, 0)), Height(std::max(height, 0)), Pixels(size_t(Width) * size_t(Height), fill) {}

void TIndexedPicture::DrawShape(const TIndexedPicture& shape, int x, int y) {
  for (int sy = 0; sy < shape.Height; ++sy)
    for (int sx = 0; sx < shape.Width; ++sx) {
      const uint8_t v = shape.At(sx, sy);
      if (v != 0 && Contains(x + sx, y + sy)) Set(x + sx, y + sy, v);
    }
}

TIndexedPicture MakeButtonShape(TButtonShape kind, int size) {
  TIndexedPicture shape(size, size, 0);
  const double s = size;
  std::vector<std::array<double, 2>> poly;
  switch (kind) {
    case TButtonShape::Box:
      for (int y = 0; y < size - 1; ++y)
        for (int x = 0; x < size - 1; ++x) shape.Set(x, y, 1);
      return shape;
    case TButtonShape::ArrowLeft: poly = {{s, 0}, {0, s / 2}, {s, s}}; break;
    case TButtonShape::ArrowRight: poly = {{0, 0}, {s, s / 2}, {0, s}}; break;
    case TButtonShape::ArrowUp: poly = {{0, s}, {s / 2, 0}, {s, s}}; break;
    case TButtonShape::ArrowDown: poly = {{0, 0}, {s, 0}, {s / 2, s}}; break;
  }
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x)
      if (Inside(x + 0.5, y + 0.5, poly)) shape.Set(x, y, 1);
  return shape;
}

// ---- TMenuButton ----

TMenuButton::TMenuButton(TMenuPage* page) : Page(page), Font(MenuFont(18, fsBold)) {}

TButtonRect TMenuButton::RectAt(int width, int yc) const {
  const int w = Shape.Width, h = Shape.Height;
  const int xc = RoundToInt(double(width) * double(X));
  TButtonRect r;
  r.Left = xc - (w + 10);
  r.Right = r.Left + w + 1;
  r.Top = yc - h / 2;
  r.Bottom = yc + h - h / 2 + 1;
  return r;
}

// ---- TMenuPage ----

TMenuPage::TMenuPage(TDVD_Menu_collection* collection)
    : Collection(collection), ButtonColors(PackButtonColors(kMenuButtonColorSets)) {}

void TMenuPage::SetEntries(const std::vector<std::string>& names) {
  buttons_.clear();
  EntryCount = int(names.size());
  const int e = Collection->EntriesPerPage();
  const int p = PageIndex;
  const TMenuPgcLayout layout = Collection->PgcLayout();
  const int pages = layout.Pages;
  const int n = int(names.size());

  for (int k = 0; k < n; ++k) {
    auto b = std::make_unique<TMenuButton>(this);
    b->Font = Collection->ItemsFont;
    b->Text = names[size_t(k)];
    b->Target = uint16_t(layout.TitlePgc(e * p + k + 1));
    b->Y = 0.8f / float(e + 1) * float(k + 1) + 0.1f;
    b->ShapeKind = TButtonShape::Box;
    b->Shape = MakeButtonShape(TButtonShape::Box);
    JumpManagerPgc(b->Command, b->Target);
    buttons_.push_back(std::move(b));
  }
  for (int k = 0; k < n; ++k) {
    TMenuButton& b = *buttons_[size_t(k)];
    // (k − 1) mod n taken into 0..n − 1, so the first entry's upper neighbour is the last.
    b.Up = buttons_[size_t((k + n - 1) % n)].get();
    b.Down = buttons_[size_t((k + 1) % n)].get();
    b.Left = b.Right = &b;
  }
  if (pages < 2 || n == 0) return;

  auto prev = std::make_unique<TMenuButton>(this);
  auto next = std::make_unique<TMenuButton>(this);
  prev->X = 0.12f;
  prev->Y = 0.9f;
  prev->ShapeKind = TButtonShape::ArrowLeft;
  prev->Shape = MakeButtonShape(TButtonShape::ArrowLeft);
  prev->Target = uint16_t(TMenuPgcLayout::PagePgc(IsFirst ? pages - 1 : p - 1));
  next->X = 0.88f;
  next->Y = 0.9f;
  next->ShapeKind = TButtonShape::ArrowRight;
  next->Shape = MakeButtonShape(TButtonShape::ArrowRight);
  next->Target = uint16_t(TMenuPgcLayout::PagePgc(IsLast ? 0 : p + 1));
  for (TMenuButton* a : {prev.get(), next.get()}) {
    a->Up = buttons_[size_t(n - 1)].get();
    a->Down = buttons_[0].get();
    JumpManagerPgc(a->Command, a->Target);
  }
  prev->Left = prev->Right = next.get();
  next->Left = next->Right = prev.get();
  for (int k = 0; k < n; ++k) {
    buttons_[size_t(k)]->Left = prev.get();
    buttons_[size_t(k)]->Right = next.get();
  }
  buttons_.push_back(std::move(prev));
  buttons_.push_back(std::move(next));
}

int TMenuPage::ButtonNumber(const TMenuButton* b, const TMenuButton& self) const {
  if (!b) b = &self;
  for (size_t i = 0; i < buttons_.size(); ++i)
    if (buttons_[i].get() == b) return int(i) + 1;
  // A neighbour from another page cannot be named here; fall back to the button itself.
  for (size_t i = 0; i < buttons_.size(); ++i)
    if (buttons_[i].get() == &self) return int(i) + 1;
  return 0;
}

TButtonRect TMenuPage::ButtonRect(const TMenuButton& b) const {
  return b.RectAt(Collection->PageWidth(), Collection->ButtonCentreRow(b.Y));
}

TNavHighlight TMenuPage::NavHighlight() const {
  TNavHighlight h;
  h.ColourTable = ButtonColors;
  const int maxX = Collection->PageWidth() - 1;
  const int maxY = Collection->FrameHeight() - 1;
  for (const auto& bp : buttons_) {
    const TMenuButton& b = *bp;
    const TButtonRect r = ButtonRect(b);
    TNavButton nb;
    nb.Colour = b.ColorTable;
    nb.AutoAction = b.AutoAction;
    nb.XStart = uint16_t(std::clamp(r.Left, 0, maxX));
    nb.XEnd = uint16_t(std::clamp(r.Right, 0, maxX));
    nb.YStart = uint16_t(std::clamp(r.Top + kHighlightTop, 0, maxY));
    nb.YEnd = uint16_t(std::clamp(r.Bottom + kHighlightTop, 0, maxY));
    nb.Up = uint8_t(ButtonNumber(b.Up, b));
    nb.Down = uint8_t(ButtonNumber(b.Down, b));
    nb.Left = uint8_t(ButtonNumber(b.Left, b));
    nb.Right = uint8_t(ButtonNumber(b.Right, b));
    nb.Command = b.Command;
    h.Buttons.push_back(nb);
  }
  return h;
}

// ---- TDVD_Menu_collection ----

TDVD_Menu_collection::TDVD_Menu_collection(bool pal)
    : ItemsFont(MenuFont(18, fsBold)), TitleFont(MenuFont(22, fsBold | fsUnderline)), pal_(pal) {}

void TDVD_Menu_collection::SetStandard(bool pal) { pal_ = pal; }

void TDVD_Menu_collection::SetEntriesPerPage(int n) {
  n = std::clamp(n, kMenuMinEntriesPerPage, kMenuMaxEntriesPerPage);
  if (n == entriesPerPage_) return;
  entriesPerPage_ = n;
  pages_.clear();
}

bool TDVD_Menu_collection::LoadBackground() {
  background_.SetSize(0, 0);
  if (BackgroundFile.empty()) return false;
  std::string reason;
  if (!LoadImageFile(BackgroundFile, background_, reason)) {
    LogFmt(EVT_WARNING, "The menu background \"%s\" cannot be used (%s); a gradient is shown instead",
           BackgroundFile.string(), reason);
    return false;
  }
  return true;
}

TMenuPgcLayout TDVD_Menu_collection::LayoutFor(int titles, int entriesPerPage) {
  const int e = std::clamp(entriesPerPage, kMenuMinEntriesPerPage, kMenuMaxEntriesPerPage);
  titles = std::max(titles, 0);
  return {(titles + e - 1) / e, titles};
}

void TDVD_Menu_collection::LogTooLarge(const TLoggingObject& log, const TMenuPgcLayout& layout) {
  log.LogFmt(EVT_ERROR, "A menu of %d titles on %d pages needs %d program chains; a DVD menu holds at most %d",
             layout.Titles, layout.Pages, layout.PgcCount(), TMenuPgcLayout::kMaxPgcs);
}

int TDVD_Menu_collection::BuildPages(const std::vector<std::string>& titles) {
  pages_.clear();
  entryCount_ = 0;
  if (titles.empty()) {
    Log(EVT_ERROR, "The menu has no titles");
    return 0;
  }
  const int e = entriesPerPage_;
  const int n = int(titles.size());
  const TMenuPgcLayout layout = LayoutFor(n, e);
  const int pageCount = layout.Pages;
  if (!layout.Fits()) {
    LogTooLarge(*this, layout);
    return 0;
  }
  entryCount_ = n;
  LoadBackground();
  for (int p = 0; p < pageCount; ++p) {
    auto page = std::make_unique<TMenuPage>(this);
    page->PageIndex = p;
    page->IsFirst = p == 0;
    page->IsLast = p == pageCount - 1;
    pages_.push_back(std::move(page));
  }
  for (int p = 0; p < pageCount; ++p) {
    const auto first = titles.begin() + ptrdiff_t(p) * e;
    const auto last = titles.begin() + std::min<ptrdiff_t>(ptrdiff_t(p + 1) * e, n);
    pages_[size_t(p)]->SetEntries(std::vector<std::string>(first, last));
  }
  return pageCount;
}

int TDVD_Menu_collection::ButtonCentreRow(float y) const {
  const int canvasH = std::max(CanvasHeight, 1);
  const int canvasRow = RoundToInt(double(canvasH) * double(y));
  return RoundToInt(double(canvasRow) * FrameHeight() / canvasH) - kHighlightTop;
}

TRect CoverSourceRect(int bw, int bh, int w, int h) {
  if (bw <= 0 || bh <= 0 || w <= 0 || h <= 0) return {};
  double s = double(w) / bw;
  if (RoundToInt(bh * s) < h) s = double(h) / bh;
  int d = RoundToInt(w / s), e = RoundToInt(h / s);
  int left = (bw - d) / 2, top = (bh - e) / 2;
  if (d > bw) {
    left = 0;
    d = bw;
  }
  if (e > bh) {
    top = 0;
    e = bh;
  }
  return RectOf(left, top, d, e);
}

bool TDVD_Menu_collection::ComposePage(TMenuPage& page, int width, int height) {
  if (width <= 0 || height <= 0 || width > TBitmap32::kMaxSide || height > TBitmap32::kMaxSide) {
    LogFmt(EVT_ERROR, "Invalid menu canvas size %d x %d", width, height);
    return false;
  }
  if (background_.Empty()) {
    page.Background.SetSize(width, height);
    TBitmap32Gradient gradient(page.Background);
    gradient.SetStartColor(0xFF0000FF);
    gradient.SetEndColor(0xFFFFFFFF);
    gradient.SetSteps(100);
    gradient.Paint();
  } else if (background_.Width() == width && background_.Height() == height) {
    page.Background = background_;
  } else {
    page.Background =
        background_.Resampled(CoverSourceRect(background_.Width(), background_.Height(), width, height), width, height);
  }
  page.Overlay.SetSize(width, height, 0);

  bool ok = true;
  TShadowedText text;
  if (!MenuTitle.empty()) {
    text.Font = TitleFont;
    text.Text = MenuTitle;
    ok &= text.DrawCentered(page.Overlay, width / 2, RoundToInt(height * 0.1));
  }
  for (size_t i = 0; i < page.ButtonCount(); ++i) {
    const TMenuButton& b = page.Button(i);
    if (b.Text.empty()) continue;
    text.Font = b.Font;
    text.Text = b.Text;
    const int x = RoundToInt(double(width) * double(b.X));
    ok &= text.DrawLeft(page.Overlay, x, RoundToInt(double(height) * double(b.Y)), width - x - 50);
  }
  if (PageCount() > 1) {
    text.Font = ItemsFont;
    text.Text = std::to_string(page.PageIndex + 1) + " / " + std::to_string(PageCount());
    ok &= text.DrawCentered(page.Overlay, width / 2, RoundToInt(height * 0.9));
  }
  if (!ok) Log(EVT_WARNING, "Some menu texts could not be drawn: no usable font");
  return true;
}

void TDVD_Menu_collection::PaintFrame(const TMenuPage& page, TBitmap32& canvas, uint8_t backgroundAlpha) const {
  if (canvas.Empty()) canvas.SetSize(page.Background.Width(), page.Background.Height());
  canvas.Clear(0xFF000000);
  page.Background.DrawTo(canvas, 0, 0, backgroundAlpha);
  page.Overlay.DrawTo(canvas, 0, 0, 255);
}

void TDVD_Menu_collection::BuildHighlight(TMenuPage& page) const {
  page.Highlight = TIndexedPicture(PageWidth(), PageHeight(), 0);
  for (size_t i = 0; i < page.ButtonCount(); ++i) {
    const TMenuButton& b = page.Button(i);
    const TButtonRect r = page.ButtonRect(b);
    page.Highlight.DrawShape(b.Shape, r.Left, r.Top);
  }
}

bool TDVD_Menu_collection::BuildHighlightUnit(TMenuPage& page, TEncodedSubpicture& unit) {
  BuildHighlight(page);
  TSpuPicture picture;
  picture.X = 0;
  picture.Y = kHighlightTop;
  picture.Width = page.Highlight.Width;
  picture.Height = page.Highlight.Height;
  picture.Stride = page.Highlight.Width;
  for (size_t j = 0; j < 4; ++j) {
    const TColor32 c = page.PagePalette[page.HighlightIndex[j]];
    picture.Colours[j] = (uint32_t(255 - page.HighlightAlpha[j]) << 24) | (c & 0x00FFFFFFu);
  }
  picture.Pixels = page.Highlight.Pixels;
  TSubPicture request;
  request.Start = 0;
  request.Stop = 0;
  request.Pictures = std::span<const TSpuPicture>(&picture, 1);
  request.Forced = true;
  request.Pal = pal_;
  TSPUH spu(*MenuPalette);
  spu.LogCallback = LogCallback;
  spu.Owner = &page;
  const size_t size = spu.Build(request);
  if (size == 0) {
    LogFmt(EVT_ERROR, "The highlight of menu page %d could not be built", page.PageIndex + 1);
    return false;
  }
  unit.Data.assign(spu.Data().begin(), spu.Data().begin() + ptrdiff_t(size));
  unit.Highlight = std::make_shared<const TNavHighlight>(page.NavHighlight());
  return true;
}

std::shared_ptr<TVobuCollection> TDVD_Menu_collection::EncodeMenus(const std::filesystem::path& file,
                                                                   bool widescreen) {
  if (pages_.empty()) {
    Log(EVT_ERROR, "The menu has no pages");
    return nullptr;
  }
  const int framesPerPage = pal_ ? 250 : 300;
  std::shared_ptr<TVobuCollection> vobus;
  {
    TFFMpeg_encoder encoder(MenuPalette);
    encoder.LogCallback = LogCallback;
    encoder.ResetDefaults();
    encoder.SetScale(1.0);
    encoder.SetAudioDisabled(true);
    encoder.SetVideoBitrate(9000000);
    encoder.OnProgress = OnProgress;
    encoder.SetVideoStandard(pal_ ? "pal" : "ntsc");
    encoder.SetAspectRatio(widescreen ? 16.0 / 9.0 : 4.0 / 3.0);
    encoder.SetCanvasFromWidth(true);
    std::error_code ec;
    std::filesystem::remove(file, ec);
    if (ec) {
      LogFmt(EVT_ERROR, "\"%s\" cannot be replaced: %s", file.string(), ec.message());
      return nullptr;
    }
    encoder.Cluster().AddFile(file, TFFMpeg_encoder::kMaxMenuVobSize);
    encoder.SetClosedGop(true);
    encoder.SetSubpictureStreamCount(1);
    encoder.SetSubpictureLanguage(0, "");
    encoder.SetAudioStreamCount(0);
    encoder.SetIntraOnly(false);
    CanvasWidth = encoder.CanvasWidth();
    CanvasHeight = encoder.CanvasHeight();

    bool cancelled = false;
    bool unitFailed = false;
    const TMenuPage* paintedPage = nullptr;
    int paintedAlpha = -1;
    encoder.OnFrame = [&](int64_t k, bool& stop, uint8_t&, uint16_t&, TBitmap32& canvas, int64_t) {
      if (Cancelled && Cancelled()) {
        cancelled = stop = true;
        return;
      }
      // Once the fade-in is over every picture of the page is the same: the canvas the
      // encoder hands back still holds it, so it is painted again only when it changes.
      const uint8_t alpha = uint8_t(std::min<int64_t>(2 * (k + 1), 255));
      if (CurrentPage == paintedPage && alpha == paintedAlpha && !canvas.Empty()) return;
      PaintFrame(*CurrentPage, canvas, alpha);
      paintedPage = CurrentPage;
      paintedAlpha = alpha;
    };
    encoder.OnSubpicture = [&](int64_t k, int, TEncodedSubpicture& unit) {
      if (k != 3) return false;
      if (!BuildHighlightUnit(*CurrentPage, unit)) {
        unitFailed = true;
        return false;
      }
      return true;
    };

    for (auto& page : pages_) {
      CurrentPage = page.get();
      encoder.SetFrameCount(framesPerPage);
      if (!ComposePage(*page, CanvasWidth, CanvasHeight)) return nullptr;
      std::array<TRgb, 16> colours;
      for (size_t j = 0; j < 16; ++j) colours[j] = TRgb::FromRgb(page->PagePalette[j] & 0xFFFFFF);
      MenuPalette->Load16(colours);
      const bool ok = encoder.Encode(uint16_t(page->PageIndex + 1));
      // The layers are not needed once the page is in the file.
      page->Background = TBitmap32();
      page->Overlay = TBitmap32();
      if (cancelled) {
        Log(EVT_WARNING, "Menu encoding cancelled");
        return nullptr;
      }
      if (!ok || unitFailed) {
        LogFmt(EVT_ERROR, "Menu page %d could not be encoded", page->PageIndex + 1);
        return nullptr;
      }
    }
    CurrentPage = nullptr;
    vobus = encoder.DetachVobuCollection();
  }

  TStill_Encoder still;
  still.LogCallback = LogCallback;
  if (!still.Encode(file, vobus, pal_, widescreen)) {
    Log(EVT_ERROR, "The closing still of the menu could not be encoded");
    return nullptr;
  }
  return vobus;
}

}  // namespace vidoria
