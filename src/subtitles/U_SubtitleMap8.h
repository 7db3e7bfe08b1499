#pragma once
// The four-colour rasteriser of text subtitles: the laid-out lines of one event drawn
// into a picture whose pixels are sub-picture values (0 background, 1 shadow, 2 outline
// and opaque box, 3 text), then an outline grown and a shadow cast with pixel passes.
//
// Glyphs come from FreeType's monochrome rendering, so every pixel already is one of the
// four values and no colour reduction is needed. Where drawings overlap the larger
// value wins: text stays above outline, outline above shadow.

#include "subtitles/U_SubPictureUnit.h"
#include "subtitles/U_SubtitleMap.h"
#include "subtitles/U_SrtTag.h"

#include <map>
#include <memory>
#include <tuple>

namespace vidoria {

// Picture sizes of subtitle events: the frame less two lines above and below.
constexpr int kSttPictureWidth = 720;
constexpr int kSttPictureHeightPal = 572;
constexpr int kSttPictureHeightNtsc = 476;
// Rows above the picture on the screen.
constexpr int kSttPictureTop = 2;

class TSubtitleMap8 : public TSubtitleMap {
 public:
  // A picture of width × height (at least 1 × 1, at most the 12-bit screen of a unit).
  TSubtitleMap8(int width, TDVDPalette& palette, int height);
  ~TSubtitleMap8() override;

  int Width() const { return width_; }
  int Height() const { return height_; }
  // Pixel value at (x, y); 0 outside the picture.
  uint8_t PixelAt(int x, int y) const {
    return (x < 0 || y < 0 || x >= width_ || y >= height_) ? 0 : pixels_[size_t(y) * size_t(width_) + size_t(x)];
  }
  const std::vector<uint8_t>& Pixels() const { return pixels_; }
  // Rows that drew text or box but fell outside the picture in the last drawing.
  bool Clipped() const { return clipped_; }

  // The picture for the sub-picture encoder: the full width, two rows below the top of
  // the frame, with the style's background, shadow, outline and text colours.
  TSpuPicture GetPicture() const;

 protected:
  int MeasureText(std::u32string_view text) override;
  void Draw() override;

 private:
  struct TRun {
    std::u32string text;
    TSrtTagState state;
  };
  TTextRenderer& RendererFor(uint8_t style, TTextDirection direction);
  TFont FontWith(uint8_t style) const;
  std::vector<TRun> Runs(const std::u32string& line, TSrtTagStateStack& stack) const;
  int RunWidth(const TRun& run);
  uint8_t IndexOf(uint32_t colour) const;
  // Draws `text` with the top-left corner of its text cell at (x, y).
  void PlotText(TTextRenderer& renderer, std::u32string_view text, int x, int y, uint8_t index);
  void FillRect(int x, int y, int w, int h, uint8_t index);
  void GrowOutline();
  void CastShadow();
  void DrawRightToLeft();
  void DrawLeftToRight();

  int width_, height_;
  std::vector<uint8_t> pixels_, work_;  // the second is the target of each pixel pass
  bool clipped_ = false;
  // Renderers by font name, size, style and direction; opening faces is the slow part.
  std::map<std::tuple<std::string, int, uint8_t, int>, std::unique_ptr<TTextRenderer>> renderers_;
};

}  // namespace vidoria
