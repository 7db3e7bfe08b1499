#pragma once
// The style of text subtitles: placement, colours, outline, shadow, font and line
// breaking, as one entry that the typesetting and the rasteriser read.

#include "platform/TextRenderer.h"

#include <cstdint>
#include <string>

namespace vidoria {

// Where the text block sits; also the direction a shadow is cast in.
enum E_Subtitle_Align : uint8_t {
  STTA_BOTTOM_LEFT = 0,
  STTA_BOTTOM_CENTER = 1,
  STTA_BOTTOM_RIGHT = 2,
  STTA_MIDDLE_LEFT = 3,
  STTA_MIDDLE_CENTER = 4,
  STTA_MIDDLE_RIGHT = 5,
  STTA_TOPLEFT = 6,
  STTA_TOPCENTER = 7,
  STTA_TOPRIGHT = 8,
};

enum E_Wrap_Style : uint8_t {
  WS_ORIGINAL_QOR = 0,
  WS_TOP_WIDER = 1,
  WS_EOL_WORDWRAP = 2,
  WS_NO_WORDWRAP = 3,
  WS_BOTTOM_WIDER = 4,
};

// Colours are 0xTTRRGGBB, TT being a transparency: 0 opaque, 255 invisible. The
// sub-picture encoder turns it into the unit's contrast.
constexpr uint32_t kSttTransparent = 0xFF000000;
constexpr uint32_t kSttDefaultShadow = 0xB0000000;

class TTypeSettingEntry {
 public:
  TTypeSettingEntry() = default;

  E_Subtitle_Align Align = STTA_BOTTOM_CENTER;
  uint32_t TextColor = 0x00000000;        // pixel value 3
  uint32_t OutlineColor = 0x00000000;     // pixel value 2: outline and opaque box
  uint32_t BackgroundColor = 0x00000000;  // pixel value 0
  uint32_t ShadowColor = kSttDefaultShadow;  // pixel value 1
  std::string Name = "Default";
  uint32_t CodePage = 0;  // 0: the system's (UTF-8, else Windows-1252)
  uint16_t ShadowOffset = 3;
  bool OpaqueBox = false;
  int32_t Angle = 0;  // kept for the project files; not drawn
  uint16_t ScaleX = 100;
  uint16_t OutlineSize = 2;
  uint16_t LineBreak = 46;  // characters per line; 0: derived from the font
  uint16_t ScaleY = 100;
  E_Subtitle_Align ShadowAlign = STTA_BOTTOM_RIGHT;
  E_Wrap_Style WrapStyle = WS_TOP_WIDER;  // one wrapping rule serves all
  uint16_t LeftMargin = 38;
  uint8_t Spacing = 0;  // extra pixels after every character
  uint16_t VertMargin = 33;
  uint16_t RightMargin = 38;
  bool FullConnexity = false;  // outline grows in 8 directions instead of 4

  const TFont& Font() const { return font_; }
  // Copies the font; the text colour becomes the font's colour, opaque.
  void SetFont(const TFont& font);

  void Assign(const TTypeSettingEntry& other) { *this = other; }

 private:
  TFont font_{"Tahoma", 28, fsBold, 0x000000};
};

}  // namespace vidoria
