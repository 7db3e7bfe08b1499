#include "menus/U_Bitmap32Gradient.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace vidoria {

namespace {

// One blur pass along a line of `count` pixels `step` apart, in place. `line` is
// scratch space of count + 2·radius pixels.
void BlurLine(TColor32* first, int count, size_t step, int radius, uint32_t weight, std::vector<TColor32>& line) {
  // The line with its edge pixels repeated `radius` times on each side.
  line.resize(size_t(count) + 2 * size_t(radius));
  for (int i = 0; i < count + 2 * radius; ++i) line[size_t(i)] = first[size_t(std::clamp(i - radius, 0, count - 1)) * step];
  uint32_t sum[4] = {0, 0, 0, 0};
  auto add = [&](TColor32 c, int sign) {
    for (int ch = 0; ch < 4; ++ch) sum[ch] = uint32_t(int64_t(sum[ch]) + sign * int64_t((c >> (8 * ch)) & 0xFF));
  };
  for (int i = 0; i < 2 * radius; ++i) add(line[size_t(i)], 1);
  for (int x = 0; x < count; ++x) {
    add(line[size_t(x) + 2 * size_t(radius)], 1);  // window now covers x − r .. x + r
    TColor32 out = 0;
    for (int ch = 0; ch < 4; ++ch) {
      const uint64_t v = (uint64_t(sum[ch]) * weight) >> 16;
      out |= TColor32(std::min<uint64_t>(v, 255)) << (8 * ch);
    }
    first[size_t(x) * step] = out;
    add(line[size_t(x)], -1);
  }
}

}  // namespace

void BoxBlur(TBitmap32& bitmap, int radius, int passes) {
  if (radius <= 0 || passes <= 0 || bitmap.Empty()) return;
  // A window wider than the picture only repeats edge pixels; keep the arithmetic small.
  radius = std::min(radius, TBitmap32::kMaxSide);
  const int window = 2 * radius + 1;
  const uint32_t weight = uint32_t(std::lround(65536.0 / window));
  std::vector<TColor32> line;
  const int w = bitmap.Width(), h = bitmap.Height();
  for (int y = 0; y < h; ++y)
    for (int p = 0; p < passes; ++p) BlurLine(bitmap.ScanLine(y), w, 1, radius, weight, line);
  for (int x = 0; x < w; ++x)
    for (int p = 0; p < passes; ++p) BlurLine(bitmap.Bits() + x, h, size_t(w), radius, weight, line);
}

TShadowedText::TShadowedText() { Font.Size = 16; }

TTextRenderer* TShadowedText::Renderer() {
  if (!renderer_ || !(renderer_->Font() == Font)) renderer_ = std::make_unique<TTextRenderer>(Font);
  return renderer_->IsValid() ? renderer_.get() : nullptr;
}

int TShadowedText::Margin() const {
  const int64_t m = std::abs(int64_t(XOffset)) + int64_t(std::max(Radius, 0)) * int64_t(std::max(Passes, 0));
  return int(std::min<int64_t>(m, TBitmap32::kMaxSide));
}

bool TShadowedText::PrepareLayers(TLayers& layers) {
  TTextRenderer* renderer = Renderer();
  if (!renderer) return false;
  const TTextAntialias mode = AntiAlias_Level > 0 ? TTextAntialias::Antialiased : TTextAntialias::Monochrome;
  layers.Extent = renderer->Measure(Text, mode);
  layers.Margin = Margin();
  const int m = layers.Margin;
  const int64_t w = int64_t(layers.Extent.Width) + 2 * int64_t(m) + 10;
  const int64_t h = int64_t(layers.Extent.Height()) + 2 * int64_t(m);
  if (w > TBitmap32::kMaxSide || h > TBitmap32::kMaxSide) return false;
  if (!layers.Shadow.SetSize(int(w), int(h)) || !layers.Text.SetSize(int(w), int(h))) return false;

  renderer->Draw(layers.Shadow, m, m, Text, ShadowColor, mode);
  BoxBlur(layers.Shadow, Radius, Passes);
  const float strength = std::max(ShadowStrength, 0.0f);
  for (int y = 0; y < layers.Shadow.Height(); ++y) {
    TColor32* row = layers.Shadow.ScanLine(y);
    for (int x = 0; x < layers.Shadow.Width(); ++x) {
      const long a = std::lround(double(AlphaComponent(row[x])) * strength);
      row[x] = SetAlpha(row[x], uint8_t(std::clamp(a, 0L, 255L)));
    }
  }

  renderer->Draw(layers.Text, m + XOffset, m + YOffset, Text, OpaqueColor32(Font.Color), mode);
  return true;
}

bool TShadowedText::DrawCentered(TBitmap32& target, int cx, int cy) {
  TLayers layers;
  if (!PrepareLayers(layers)) return false;
  const int left = cx - layers.Shadow.Width() / 2;
  const int top = cy - layers.Shadow.Height() / 2;
  layers.Shadow.DrawTo(target, left, top);
  layers.Text.DrawTo(target, left, top);
  return true;
}

bool TShadowedText::DrawLeft(TBitmap32& target, int x, int cy, int maxWidth) {
  if (maxWidth <= 0) return true;
  TLayers layers;
  if (!PrepareLayers(layers)) return false;
  const int m = layers.Margin;
  const int top = cy - (layers.Extent.Height() + 1) / 2 - m;
  const int w = layers.Shadow.Width(), h = layers.Shadow.Height();
  if (int64_t(2) * m + w < maxWidth) {
    layers.Shadow.DrawTo(target, x, top);
    layers.Text.DrawTo(target, x, top);
  } else {
    const TRect squeezed = RectOf(x, top, maxWidth, h);
    layers.Shadow.StretchTo(target, squeezed);
    layers.Text.StretchTo(target, squeezed);
  }
  return true;
}

void TBitmap32Gradient::Paint() {
  const int w = target_.Width(), h = target_.Height();
  if (w == 0 || h == 0) return;
  const int n = std::max(1, std::min(int(steps_), w));
  // Default rounding mode: to nearest, halves to even.
  auto channel = [&](int k, uint8_t from, uint8_t to) {
    return uint8_t(std::nearbyint(from + double(k) * (int(to) - int(from)) / n));
  };
  for (int k = 0; k <= n; ++k) {
    const int x0 = int(std::nearbyint(double(k) * w / n));
    const int x1 = int(std::nearbyint(double(k + 1) * w / n));
    const TColor32 c = Color32(channel(k, RedComponent(start_), RedComponent(end_)),
                               channel(k, GreenComponent(start_), GreenComponent(end_)),
                               channel(k, BlueComponent(start_), BlueComponent(end_)));
    target_.FillRect(TRect{x0, 0, x1, h}, c);
  }
}

}  // namespace vidoria
