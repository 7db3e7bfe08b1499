#pragma once
// A font as the user chose it: family, size in points (at 96 DPI), style and colour.

#include "common/U_Color.h"

#include <string>

namespace vidoria {

struct TFontDesc {
  std::string Name = "Arial";
  int Size = 10;  // points
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
  TRgb Color = kWhite;

  friend bool operator==(const TFontDesc&, const TFontDesc&) = default;
};

}  // namespace vidoria
