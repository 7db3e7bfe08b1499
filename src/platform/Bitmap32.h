#pragma once
// A 32-bit picture with straight (not premultiplied) alpha. A pixel is one 32-bit value
// 0xAARRGGBB; on a little-endian machine its bytes lie in memory as B, G, R, A, which
// is FFmpeg's AV_PIX_FMT_BGRA and Qt's QImage::Format_ARGB32, so rows can be handed
// to either without conversion.
//
// Drawing onto a picture blends with Porter-Duff "over": a source over a transparent
// ground keeps its own colour and alpha, so layers can be built on a transparent
// picture and composited later without dark fringes.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vidoria {

static_assert(std::endian::native == std::endian::little,
              "TBitmap32 rows are handed out as BGRA bytes");

using TColor32 = uint32_t;

constexpr TColor32 Color32(uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255) {
  return (TColor32(a) << 24) | (TColor32(r) << 16) | (TColor32(g) << 8) | TColor32(b);
}
constexpr uint8_t AlphaComponent(TColor32 c) { return uint8_t(c >> 24); }
constexpr uint8_t RedComponent(TColor32 c) { return uint8_t(c >> 16); }
constexpr uint8_t GreenComponent(TColor32 c) { return uint8_t(c >> 8); }
constexpr uint8_t BlueComponent(TColor32 c) { return uint8_t(c); }
constexpr TColor32 SetAlpha(TColor32 c, uint8_t a) { return (c & 0x00FFFFFFu) | (TColor32(a) << 24); }
// 0x00RRGGBB (the colour of a font or a style) as an opaque colour.
constexpr TColor32 OpaqueColor32(uint32_t rgb) { return 0xFF000000u | (rgb & 0x00FFFFFFu); }
// A Windows COLORREF 0x00BBGGRR as an opaque colour, for values stored in that order.
constexpr TColor32 Color32FromColorRef(uint32_t bgr) {
  return Color32(uint8_t(bgr), uint8_t(bgr >> 8), uint8_t(bgr >> 16));
}
constexpr uint32_t ColorRefFromColor32(TColor32 c) {
  return uint32_t(RedComponent(c)) | (uint32_t(GreenComponent(c)) << 8) | (uint32_t(BlueComponent(c)) << 16);
}

// `src` over `dst`, the source alpha first scaled by `masterAlpha` / 255.
inline TColor32 BlendOver(TColor32 src, TColor32 dst, uint8_t masterAlpha = 255) {
  const uint32_t sa = (uint32_t(AlphaComponent(src)) * masterAlpha + 127) / 255;
  if (sa == 0) return dst;
  if (sa == 255) return src | 0xFF000000u;
  const uint32_t da = AlphaComponent(dst);
  if (da == 255) {
    // Over an opaque ground (every composed frame) the weights below reduce to sa and
    // 255 - sa with the same rounding, and the divisor is a constant.
    auto over = [&](uint32_t s, uint32_t d) { return (s * sa + d * (255 - sa) + 127) / 255; };
    return Color32(uint8_t(over(RedComponent(src), RedComponent(dst))),
                   uint8_t(over(GreenComponent(src), GreenComponent(dst))),
                   uint8_t(over(BlueComponent(src), BlueComponent(dst))), 255);
  }
  // Weights scaled by 255: source sa·255, destination da·(255 − sa).
  const uint32_t ws = sa * 255;
  const uint32_t wd = da * (255 - sa);
  const uint32_t total = ws + wd;  // 255 × resulting alpha
  const uint32_t outA = (total + 127) / 255;
  auto mix = [&](uint32_t s, uint32_t d) { return (s * ws + d * wd + total / 2) / total; };
  return Color32(uint8_t(mix(RedComponent(src), RedComponent(dst))),
                 uint8_t(mix(GreenComponent(src), GreenComponent(dst))),
                 uint8_t(mix(BlueComponent(src), BlueComponent(dst))), uint8_t(outA));
}

// Half-open rectangle: Left <= x < Right, Top <= y < Bottom.
struct TRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  constexpr int Width() const { return Right - Left; }
  constexpr int Height() const { return Bottom - Top; }
  constexpr bool Empty() const { return Right <= Left || Bottom <= Top; }
  bool operator==(const TRect&) const = default;
};

constexpr TRect RectOf(int left, int top, int width, int height) {
  return TRect{left, top, left + width, top + height};
}
TRect Intersect(const TRect& a, const TRect& b);

class TBitmap32 {
 public:
  // Larger pictures are refused; no picture this program draws comes near it.
  static constexpr int kMaxSide = 16384;

  TBitmap32() = default;
  // Throws std::invalid_argument for a negative or oversized side.
  TBitmap32(int width, int height, TColor32 fill = 0);

  // Resizes and clears to `fill`. Returns false (and leaves the picture unchanged) for a
  // negative or oversized side. A zero side gives an empty picture.
  bool SetSize(int width, int height, TColor32 fill = 0);

  int Width() const { return width_; }
  int Height() const { return height_; }
  bool Empty() const { return width_ == 0 || height_ == 0; }
  TRect BoundsRect() const { return TRect{0, 0, width_, height_}; }

  // Rows are Width() pixels apart, top row first.
  TColor32* Bits() { return pixels_.data(); }
  const TColor32* Bits() const { return pixels_.data(); }
  TColor32* ScanLine(int y) { return pixels_.data() + size_t(y) * size_t(width_); }
  const TColor32* ScanLine(int y) const { return pixels_.data() + size_t(y) * size_t(width_); }
  // Bytes per row when the pixels are read as BGRA bytes.
  int Stride() const { return width_ * 4; }

  bool Contains(int x, int y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }
  // Unchecked access; the caller keeps x, y inside.
  TColor32 Pixel(int x, int y) const { return pixels_[size_t(y) * size_t(width_) + size_t(x)]; }
  void SetPixel(int x, int y, TColor32 c) { pixels_[size_t(y) * size_t(width_) + size_t(x)] = c; }
  // Checked access: reads 0 outside the picture, ignores writes outside it.
  TColor32 PixelS(int x, int y) const { return Contains(x, y) ? Pixel(x, y) : 0; }
  void SetPixelS(int x, int y, TColor32 c) {
    if (Contains(x, y)) SetPixel(x, y, c);
  }
  // Blends `c` over one pixel; ignored outside the picture.
  void BlendPixelS(int x, int y, TColor32 c) {
    if (Contains(x, y)) SetPixel(x, y, BlendOver(c, Pixel(x, y)));
  }

  void Clear(TColor32 c = 0);
  // Replaces the pixels of `r` (clipped) by `c`.
  void FillRect(const TRect& r, TColor32 c);
  // Blends `c` over the pixels of `r` (clipped).
  void FillRectBlend(const TRect& r, TColor32 c);

  // Blends this picture over `dst` with its top-left corner at (x, y), clipped.
  void DrawTo(TBitmap32& dst, int x, int y, uint8_t masterAlpha = 255) const;
  // Resamples `srcRect` of this picture to the size of `dstRect` and blends it over `dst`
  // there (clipped). An empty or out-of-picture source draws nothing.
  void StretchTo(TBitmap32& dst, const TRect& dstRect, const TRect& srcRect, uint8_t masterAlpha = 255) const;
  void StretchTo(TBitmap32& dst, const TRect& dstRect, uint8_t masterAlpha = 255) const {
    StretchTo(dst, dstRect, BoundsRect(), masterAlpha);
  }

  // `srcRect` (clipped to the picture) resampled to width × height by area averaging:
  // every target pixel is the coverage-weighted mean of the source pixels under it,
  // taken on premultiplied colour so transparent pixels do not darken edges. Returns an
  // empty picture for an empty source or target.
  TBitmap32 Resampled(const TRect& srcRect, int width, int height) const;

  // Copies from / to rows of BGRA bytes (AV_PIX_FMT_BGRA), `linesize` bytes apart.
  bool CopyFromBGRA(const uint8_t* data, int width, int height, int linesize);
  void CopyToBGRA(uint8_t* data, int linesize) const;

  bool operator==(const TBitmap32&) const = default;

 private:
  int width_ = 0, height_ = 0;
  std::vector<TColor32> pixels_;
};

}  // namespace vidoria
