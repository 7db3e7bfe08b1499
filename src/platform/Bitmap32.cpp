#include "platform/Bitmap32.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace vidoria {

TRect Intersect(const TRect& a, const TRect& b) {
  TRect r{std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right),
          std::min(a.Bottom, b.Bottom)};
  if (r.Empty()) return TRect{};
  return r;
}

TBitmap32::TBitmap32(int width, int height, TColor32 fill) {
  if (!SetSize(width, height, fill)) throw std::invalid_argument("TBitmap32: bad picture size");
}

bool TBitmap32::SetSize(int width, int height, TColor32 fill) {
  if (width < 0 || height < 0 || width > kMaxSide || height > kMaxSide) return false;
  if (width == 0 || height == 0) width = height = 0;
  width_ = width;
  height_ = height;
  pixels_.assign(size_t(width) * size_t(height), fill);
  return true;
}

void TBitmap32::Clear(TColor32 c) { std::fill(pixels_.begin(), pixels_.end(), c); }

void TBitmap32::FillRect(const TRect& r, TColor32 c) {
  const TRect clip = Intersect(r, BoundsRect());
  for (int y = clip.Top; y < clip.Bottom; ++y) std::fill(ScanLine(y) + clip.Left, ScanLine(y) + clip.Right, c);
}

void TBitmap32::FillRectBlend(const TRect& r, TColor32 c) {
  const TRect clip = Intersect(r, BoundsRect());
  for (int y = clip.Top; y < clip.Bottom; ++y) {
    TColor32* row = ScanLine(y);
    for (int x = clip.Left; x < clip.Right; ++x) row[x] = BlendOver(c, row[x]);
  }
}

void TBitmap32::DrawTo(TBitmap32& dst, int x, int y, uint8_t masterAlpha) const {
  const TRect target = Intersect(RectOf(x, y, width_, height_), dst.BoundsRect());
  for (int ty = target.Top; ty < target.Bottom; ++ty) {
    const TColor32* s = ScanLine(ty - y) + (target.Left - x);
    TColor32* d = dst.ScanLine(ty) + target.Left;
    for (int i = 0; i < target.Width(); ++i) d[i] = BlendOver(s[i], d[i], masterAlpha);
  }
}

void TBitmap32::StretchTo(TBitmap32& dst, const TRect& dstRect, const TRect& srcRect, uint8_t masterAlpha) const {
  if (dstRect.Empty()) return;
  if (Intersect(dstRect, dst.BoundsRect()).Empty()) return;
  const TBitmap32 scaled = Resampled(srcRect, dstRect.Width(), dstRect.Height());
  if (!scaled.Empty()) scaled.DrawTo(dst, dstRect.Left, dstRect.Top, masterAlpha);
}

namespace {

// Area-average resampling of one axis. `in` holds `count` lines of `inLen` RGBA pixels
// (float, premultiplied) whose elements are `inStep` apart along the axis and `inLine`
// apart between lines; the output is laid out the same way with `outLen` pixels.
void ResampleAxis(const std::vector<float>& in, int inLen, size_t inStep, size_t inLine, std::vector<float>& out,
                  int outLen, size_t outStep, size_t outLine, int count) {
  const double scale = double(inLen) / double(outLen);
  for (int i = 0; i < outLen; ++i) {
    const double a = i * scale, b = (i + 1) * scale;
    const int j0 = int(std::floor(a));
    const int j1 = std::min(inLen, int(std::ceil(b)));
    for (int line = 0; line < count; ++line) {
      float acc[4] = {0, 0, 0, 0};
      for (int j = j0; j < j1; ++j) {
        const float w = float(std::min(b, double(j + 1)) - std::max(a, double(j)));
        const float* p = &in[size_t(line) * inLine + size_t(j) * inStep];
        for (int c = 0; c < 4; ++c) acc[c] += w * p[c];
      }
      float* q = &out[size_t(line) * outLine + size_t(i) * outStep];
      for (int c = 0; c < 4; ++c) q[c] = acc[c] / float(scale);
    }
  }
}

}  // namespace

TBitmap32 TBitmap32::Resampled(const TRect& srcRect, int width, int height) const {
  TBitmap32 result;
  const TRect src = Intersect(srcRect, BoundsRect());
  if (src.Empty() || width <= 0 || height <= 0 || !result.SetSize(width, height)) return result;
  const int sw = src.Width(), sh = src.Height();

  // Premultiplied float copy of the source rectangle: (a·r, a·g, a·b, a), a in 0..1.
  std::vector<float> in(size_t(sw) * size_t(sh) * 4);
  for (int y = 0; y < sh; ++y) {
    const TColor32* row = ScanLine(src.Top + y) + src.Left;
    for (int x = 0; x < sw; ++x) {
      const float a = AlphaComponent(row[x]) / 255.0f;
      float* p = &in[(size_t(y) * sw + x) * 4];
      p[0] = RedComponent(row[x]) * a;
      p[1] = GreenComponent(row[x]) * a;
      p[2] = BlueComponent(row[x]) * a;
      p[3] = a;
    }
  }
  std::vector<float> mid(size_t(width) * size_t(sh) * 4);
  ResampleAxis(in, sw, 4, size_t(sw) * 4, mid, width, 4, size_t(width) * 4, sh);
  std::vector<float> out(size_t(width) * size_t(height) * 4);
  ResampleAxis(mid, sh, size_t(width) * 4, 4, out, height, size_t(width) * 4, 4, width);

  for (int y = 0; y < height; ++y) {
    TColor32* row = result.ScanLine(y);
    for (int x = 0; x < width; ++x) {
      const float* p = &out[(size_t(y) * width + x) * 4];
      const float a = std::clamp(p[3], 0.0f, 1.0f);
      if (a <= 0.0f) {
        row[x] = 0;
        continue;
      }
      auto channel = [&](float v) { return uint8_t(std::clamp(std::lround(v / a), 0L, 255L)); };
      row[x] = Color32(channel(p[0]), channel(p[1]), channel(p[2]), uint8_t(std::lround(a * 255.0f)));
    }
  }
  return result;
}

bool TBitmap32::CopyFromBGRA(const uint8_t* data, int width, int height, int linesize) {
  if (!data || linesize < width * 4 || !SetSize(width, height)) return false;
  for (int y = 0; y < height_; ++y) std::memcpy(ScanLine(y), data + size_t(y) * size_t(linesize), size_t(width_) * 4);
  return true;
}

void TBitmap32::CopyToBGRA(uint8_t* data, int linesize) const {
  for (int y = 0; y < height_; ++y) std::memcpy(data + size_t(y) * size_t(linesize), ScanLine(y), size_t(width_) * 4);
}

}  // namespace vidoria
