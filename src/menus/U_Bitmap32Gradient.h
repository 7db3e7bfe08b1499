#pragma once
// Drawing helpers of the menu pages: one line of text with a soft drop shadow, and the
// banded gradient of the default background.

#include "platform/Bitmap32.h"
#include "platform/TextRenderer.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vidoria {

// Separable box blur over all four channels: every row `passes` times, then every
// column `passes` times, each with a window of 2·radius + 1 pixels and the weight
// 65536 / (2·radius + 1) (rounded) in 16.16 fixed point, truncated. Pixels beyond the
// edge repeat the edge pixel. Nothing happens for radius or passes ≤ 0.
void BoxBlur(TBitmap32& bitmap, int radius, int passes);

// One line of text over a blurred copy of itself. The text is drawn at
// (XOffset, YOffset) from its shadow, so with the defaults the shadow falls 4 pixels
// right of and 3 pixels below the text.
class TShadowedText {
 public:
  TShadowedText();

  TFont Font;  // text font and colour (size 16 unless set)
  std::string Text;
  int32_t AntiAlias_Level = 3;  // ≤ 0 draws monochrome text, otherwise antialiased
  int32_t Radius = 2;           // blur radius of the shadow, pixels
  int32_t Passes = 4;           // blur passes
  TColor32 ShadowColor = 0xFF000000;
  float ShadowStrength = 1.8f;  // factor on the blurred shadow's alpha
  int32_t XOffset = -4;
  int32_t YOffset = -3;

  // The two layers, each (text width + 2·Margin + 10) × (text height + 2·Margin) and
  // transparent where nothing is drawn. The shadow's text box sits at (Margin, Margin),
  // the text's at (Margin + XOffset, Margin + YOffset).
  struct TLayers {
    TBitmap32 Shadow, Text;
    int Margin = 0;
    TTextExtent Extent;
  };
  // False when the font cannot be used or the layers would be too large.
  bool PrepareLayers(TLayers& layers);

  // Blends shadow, then text, with the layers centred on (cx, cy).
  bool DrawCentered(TBitmap32& target, int cx, int cy);
  // Draws from x, vertically centred on cy. When the layers with their margins do not
  // fit in maxWidth they are squeezed horizontally into exactly maxWidth pixels.
  // maxWidth ≤ 0 draws nothing.
  bool DrawLeft(TBitmap32& target, int x, int cy, int maxWidth);

 private:
  TTextRenderer* Renderer();
  int Margin() const;

  std::unique_ptr<TTextRenderer> renderer_;  // made for Font on first use, remade when it changes
};

// Paints the target with vertical bands from the start colour on the left towards the
// end colour on the right.
class TBitmap32Gradient {
 public:
  explicit TBitmap32Gradient(TBitmap32& target) : target_(target) {}

  void SetStartColor(TColor32 c) { start_ = c; }
  void SetEndColor(TColor32 c) { end_ = c; }
  void SetSteps(uint16_t steps) { steps_ = steps; }
  TColor32 StartColor() const { return start_; }
  TColor32 EndColor() const { return end_; }
  uint16_t Steps() const { return steps_; }

  // n = min(steps, width), at least 1, bands of width / n pixels; band k (0 ≤ k ≤ n)
  // covers x from k·width/n to (k+1)·width/n and has the opaque colour
  // start + k·(end − start)/n per channel; positions and channels are rounded to the
  // nearest integer, halves to even. Bands past the right edge are clipped.
  void Paint();

 private:
  TBitmap32& target_;
  TColor32 start_ = 0xFF000000;
  TColor32 end_ = 0xFFFFFFFF;
  uint16_t steps_ = 100;
};

}  // namespace vidoria
