#include "subtitles/U_SubtitleMap8.h"

#include "platform/CodePages.h"
#include "subtitles/U_SrtTagParser.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace vidoria {

namespace {

// Outline passes beyond this width add nothing a viewer can tell apart, and each costs a
// pass over the whole picture.
constexpr int kMaxOutlineSteps = 32;
// Sub-picture coordinates are 12-bit.
constexpr int kMaxPictureSide = 4096;

}  // namespace

TSubtitleMap8::TSubtitleMap8(int width, TDVDPalette& palette, int height)
    : TSubtitleMap(palette), width_(width), height_(height) {
  if (width < 1 || height < 1 || width > kMaxPictureSide || height > kMaxPictureSide)
    throw std::invalid_argument("subtitle picture size out of range");
  pixels_.assign(size_t(width_) * size_t(height_), 0);
  work_.assign(pixels_.size(), 0);
}

TSubtitleMap8::~TSubtitleMap8() = default;

TFont TSubtitleMap8::FontWith(uint8_t style) const {
  TFont font = Style.Font();
  font.Style = static_cast<TFontStyles>(style & (fsBold | fsItalic | fsUnderline | fsStrikeOut));
  return font;
}

TTextRenderer& TSubtitleMap8::RendererFor(uint8_t style, TTextDirection direction) {
  const TFont font = FontWith(style);
  auto key = std::make_tuple(font.Name, font.Size, font.Style, static_cast<int>(direction));
  auto& slot = renderers_[key];
  if (!slot) slot = std::make_unique<TTextRenderer>(font, direction);
  return *slot;
}

int TSubtitleMap8::MeasureText(std::u32string_view text) {
  TTextRenderer& r = RendererFor(Style.Font().Style, RightToLeft ? TTextDirection::RightToLeft : TTextDirection::Auto);
  return r.Measure(EncodeUtf8(text), TTextAntialias::Monochrome).Width + int(text.size()) * Style.Spacing;
}

std::vector<TSubtitleMap8::TRun> TSubtitleMap8::Runs(const std::u32string& line, TSrtTagStateStack& stack) const {
  // Tags are read by a factory of their own; they act on the caller's stack, which
  // carries the style from one line to the next.
  TSrtTagFactory factory;
  std::vector<TRun> runs;
  std::u32string_view rest(line);
  while (!rest.empty()) {
    if (TSrtTag* tag = factory.Take(rest)) {
      tag->Apply(stack);
      continue;
    }
    const TSrtTagState state = stack.Top();
    // With extra spacing every character is placed on its own.
    if (runs.empty() || !(runs.back().state == state) || Style.Spacing > 0) runs.push_back(TRun{{}, state});
    runs.back().text.push_back(rest.front());
    rest.remove_prefix(1);
  }
  return runs;
}

int TSubtitleMap8::RunWidth(const TRun& run) {
  TTextRenderer& r = RendererFor(run.state.Style, TTextDirection::Auto);
  return r.Measure(EncodeUtf8(run.text), TTextAntialias::Monochrome).Width + int(run.text.size()) * Style.Spacing;
}

uint8_t TSubtitleMap8::IndexOf(uint32_t colour) const {
  if (colour == Style.BackgroundColor) return 0;
  if (colour == Style.ShadowColor) return 1;
  if (colour == Style.OutlineColor) return 2;
  return 3;
}

void TSubtitleMap8::PlotText(TTextRenderer& renderer, std::u32string_view text, int x, int y, uint8_t index) {
  if (text.empty() || index == 0) return;
  const TTextMask mask = renderer.RenderMask(EncodeUtf8(text), TTextAntialias::Monochrome);
  for (int my = 0; my < mask.Height; ++my) {
    const int64_t ty = int64_t(y) + mask.Top + my;
    const uint8_t* row = &mask.Coverage[size_t(my) * size_t(mask.Width)];
    for (int mx = 0; mx < mask.Width; ++mx) {
      if (row[mx] < 128) continue;
      const int64_t tx = int64_t(x) + mask.Left + mx;
      if (tx < 0 || ty < 0 || tx >= width_ || ty >= height_) {
        clipped_ = true;
        continue;
      }
      uint8_t& p = pixels_[size_t(ty) * size_t(width_) + size_t(tx)];
      p = std::max(p, index);
    }
  }
}

void TSubtitleMap8::FillRect(int x, int y, int w, int h, uint8_t index) {
  const int x0 = std::max(x, 0), y0 = std::max(y, 0);
  const int x1 = int(std::min<int64_t>(int64_t(x) + w, width_)), y1 = int(std::min<int64_t>(int64_t(y) + h, height_));
  for (int yy = y0; yy < y1; ++yy)
    for (int xx = x0; xx < x1; ++xx) {
      uint8_t& p = pixels_[size_t(yy) * size_t(width_) + size_t(xx)];
      p = std::max(p, index);
    }
}

void TSubtitleMap8::Draw() {
  std::fill(pixels_.begin(), pixels_.end(), 0);
  clipped_ = false;
  if (RightToLeft) DrawRightToLeft();
  else DrawLeftToRight();
  if (colorCount_ <= 2) GrowOutline();
  if (colorCount_ == 1) CastShadow();
}

void TSubtitleMap8::DrawRightToLeft() {
  // The lines are drawn whole without their markup: the shaping needs the whole line,
  // and the markup is not text to show.
  const int h = Style.Font().PixelSize() + 4;
  const int n = int(plain_.size());
  int64_t y = std::lround(double(height_) * Position / 100.0) - int64_t(n) * h;
  TTextRenderer& r = RendererFor(Style.Font().Style, TTextDirection::RightToLeft);
  const uint8_t index = IndexOf(Style.TextColor);
  for (const auto& line : plain_) {
    const int w = r.Measure(EncodeUtf8(line), TTextAntialias::Monochrome).Width;
    if (y > -h && y < height_) PlotText(r, line, (width_ - w) / 2, int(y), index);
    else if (!line.empty()) clipped_ = true;
    y += h;
  }
}

void TSubtitleMap8::DrawLeftToRight() {
  const int h = Style.Font().PixelSize() + 4;
  const int n = int(source_.size());
  TSrtTagStateStack stack;
  stack.SetBase(TSrtTagState{static_cast<uint8_t>(Style.Font().Style), Style.TextColor});

  // Measure: the runs of each line in the style in force, and the line widths.
  std::vector<std::vector<TRun>> lines;
  std::vector<int> widths;
  lines.reserve(source_.size());
  int blockWidth = 0, blockHeight = 0, tallest = 0;
  for (const auto& line : source_) {
    lines.push_back(Runs(line, stack));
    int w = 0;
    for (const TRun& run : lines.back()) {
      w += RunWidth(run);
      tallest = std::max(tallest, RendererFor(run.state.Style, TTextDirection::Auto).Measure("").Height());
    }
    widths.push_back(w);
    blockWidth = std::max(blockWidth, w);
    blockHeight += tallest;
  }

  int64_t y;
  switch (Style.Align) {
    case STTA_BOTTOM_LEFT:
    case STTA_BOTTOM_CENTER:
    case STTA_BOTTOM_RIGHT:
      y = int64_t(height_) - Style.VertMargin - int64_t(n) * h;
      break;
    case STTA_MIDDLE_LEFT:
    case STTA_MIDDLE_CENTER:
    case STTA_MIDDLE_RIGHT:
      y = (int64_t(height_) - Style.VertMargin - int64_t(n) * h) / 2;
      break;
    default:
      y = Style.VertMargin;
      break;
  }

  if (Style.OpaqueBox && blockWidth > 0)
    FillRect((width_ - blockWidth) / 2, int(std::clamp<int64_t>(y, -kMaxPictureSide, kMaxPictureSide)), blockWidth,
             blockHeight, 2);

  for (size_t i = 0; i < lines.size(); ++i, y += h) {
    int64_t x;
    switch (Style.Align) {
      case STTA_BOTTOM_LEFT:
      case STTA_MIDDLE_LEFT:
      case STTA_TOPLEFT:
        x = Style.LeftMargin;
        break;
      case STTA_BOTTOM_RIGHT:
      case STTA_MIDDLE_RIGHT:
      case STTA_TOPRIGHT:
        x = int64_t(width_) - Style.RightMargin - widths[i];
        break;
      default:
        x = (int64_t(width_) - widths[i]) / 2;
        break;
    }
    if (x < 0) x = 0;
    // A line wholly above or below the picture draws nothing; do not shape it.
    if (y <= -h || y >= height_) {
      if (!lines[i].empty()) clipped_ = true;
      continue;
    }
    for (const TRun& run : lines[i]) {
      const int w = RunWidth(run);
      if (x < width_) {
        PlotText(RendererFor(run.state.Style, TTextDirection::Auto), run.text, int(x), int(y),
                 IndexOf(run.state.Color));
      } else {
        clipped_ = true;
      }
      x += w;
    }
  }
}

void TSubtitleMap8::GrowOutline() {
  const int steps = std::min<int>(Style.OutlineSize, kMaxOutlineSteps);
  const int w = width_, h = height_;
  for (int step = 0; step < steps; ++step) {
    bool grew = false;
    for (int y = 0; y < h; ++y) {
      const uint8_t* src = &pixels_[size_t(y) * size_t(w)];
      const uint8_t* above = y > 0 ? src - w : nullptr;
      const uint8_t* below = y + 1 < h ? src + w : nullptr;
      uint8_t* dst = &work_[size_t(y) * size_t(w)];
      for (int x = 0; x < w; ++x) {
        if (src[x]) {
          dst[x] = src[x];
          continue;
        }
        bool near = (x > 0 && src[x - 1]) || (x + 1 < w && src[x + 1]) || (above && above[x]) || (below && below[x]);
        if (!near && Style.FullConnexity)
          near = (above && ((x > 0 && above[x - 1]) || (x + 1 < w && above[x + 1]))) ||
                 (below && ((x > 0 && below[x - 1]) || (x + 1 < w && below[x + 1])));
        dst[x] = near ? 2 : 0;
        grew = grew || near;
      }
    }
    pixels_.swap(work_);
    if (!grew) break;
  }
}

void TSubtitleMap8::CastShadow() {
  const int d = Style.ShadowOffset;
  int dx = 0, dy = 0;
  switch (Style.ShadowAlign) {
    case STTA_BOTTOM_LEFT: dx = -d, dy = d; break;
    case STTA_BOTTOM_CENTER: dy = d; break;
    case STTA_BOTTOM_RIGHT: dx = d, dy = d; break;
    case STTA_MIDDLE_LEFT: dx = -d; break;
    case STTA_MIDDLE_RIGHT: dx = d; break;
    case STTA_TOPLEFT: dx = -d, dy = -d; break;
    case STTA_TOPCENTER: dy = -d; break;
    case STTA_TOPRIGHT: dx = d, dy = -d; break;
    default: return;  // centred: no direction, no shadow
  }
  if (d == 0) return;
  const int w = width_, h = height_;
  for (int y = 0; y < h; ++y) {
    const int sy = y - dy;
    for (int x = 0; x < w; ++x) {
      const size_t i = size_t(y) * size_t(w) + size_t(x);
      const int sx = x - dx;
      uint8_t v = pixels_[i];
      if (v == 0 && sx >= 0 && sy >= 0 && sx < w && sy < h && pixels_[size_t(sy) * size_t(w) + size_t(sx)] != 0) v = 1;
      work_[i] = v;
    }
  }
  pixels_.swap(work_);
}

TSpuPicture TSubtitleMap8::GetPicture() const {
  TSpuPicture p;
  p.X = 0;
  p.Y = kSttPictureTop;
  p.Width = width_;
  p.Height = height_;
  p.Stride = width_;
  p.Colours = {Style.BackgroundColor, Style.ShadowColor, Style.OutlineColor, Style.TextColor};
  p.Pixels = pixels_;
  return p;
}

}  // namespace vidoria
