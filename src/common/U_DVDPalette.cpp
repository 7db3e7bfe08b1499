#include "common/U_DVDPalette.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vidoria {

int TDVDPalette::Add(TRgb colour) {
  const int at = IndexOf(colour);
  if (at >= 0) return at;
  if (count_ >= kMaxColours) return -1;
  colours_[count_] = colour;
  return static_cast<int>(count_++);
}

int TDVDPalette::IndexOf(TRgb colour) const {
  for (size_t i = 0; i < count_; ++i)
    if (colours_[i] == colour) return static_cast<int>(i);
  return -1;
}

int TDVDPalette::Nearest(TRgb colour) const {
  int best = 0;
  int bestDistance = std::numeric_limits<int>::max();
  for (size_t i = 0; i < count_; ++i) {
    const int dr = colours_[i].r - colour.r, dg = colours_[i].g - colour.g, db = colours_[i].b - colour.b;
    const int d = dr * dr + dg * dg + db * db;
    if (d < bestDistance) {
      bestDistance = d;
      best = static_cast<int>(i);
    }
  }
  return best;
}

void TDVDPalette::Load16(std::span<const TRgb, kMaxColours> colours) {
  std::copy(colours.begin(), colours.end(), colours_.begin());
  count_ = kMaxColours;
}

std::array<uint8_t, 4 * TDVDPalette::kMaxColours> TDVDPalette::IfoColourTable() const {
  std::array<uint8_t, 4 * kMaxColours> table{};
  for (size_t i = 0; i < kMaxColours; ++i) {
    const auto ycc = RgbToYCrCb(Item(i));
    table[4 * i + 1] = ycc[0];
    table[4 * i + 2] = ycc[1];
    table[4 * i + 3] = ycc[2];
  }
  return table;
}

std::array<uint8_t, 3> RgbToYCrCb(TRgb c) {
  const double r = c.r, g = c.g, b = c.b;
  // nearbyint rounds halves to even under the default rounding mode.
  auto limit = [](double v, double lo, double hi) { return static_cast<uint8_t>(std::clamp(v, lo, hi)); };
  const double y = std::nearbyint(219.0 / 255.0 * (0.2989 * r + 0.5866 * g + 0.1145 * b) + 16.0);
  // Chrominance scaled by 223/255 keeps the extremes a step inside the legal range.
  const double cr = std::nearbyint(223.0 / 255.0 * (0.5 * r - 0.41869 * g - 0.08131 * b)) + 128.0;
  const double cb = std::nearbyint(223.0 / 255.0 * (-0.16874 * r - 0.33126 * g + 0.5 * b)) + 128.0;
  return {limit(y, 16, 235), limit(cr, 16, 239), limit(cb, 16, 239)};
}

}  // namespace vidoria
