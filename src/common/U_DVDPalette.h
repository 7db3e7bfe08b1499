#pragma once
// The 16-colour palette of a title set or of the menus. Sub-picture units name their
// four colours by index into it, and every program chain stores it in the luminance /
// chrominance form that players expect.

#include "common/U_Color.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vidoria {

class TDVDPalette {
 public:
  static constexpr size_t kMaxColours = 16;

  size_t Count() const { return count_; }
  // Colour `index`; black beyond the count.
  TRgb Item(size_t index) const { return index < count_ ? colours_[index] : kBlack; }

  // Appends `colour` unless the palette is full or already holds it. Returns its index,
  // or -1 when it is neither present nor could be added.
  int Add(TRgb colour);
  // First entry equal to `colour`, or -1.
  int IndexOf(TRgb colour) const;
  // Entry with the smallest squared RGB distance (the first of equal ones); 0 when empty.
  int Nearest(TRgb colour) const;
  // Replaces the palette by `colours` (a full palette of 16).
  void Load16(std::span<const TRgb, kMaxColours> colours);
  void Clear() { count_ = 0; }

  // Colour table as the IFO program chains store it: 16 entries of 0, Y, Cr, Cb.
  // Entries beyond the count are black.
  std::array<uint8_t, 4 * kMaxColours> IfoColourTable() const;

 private:
  std::array<TRgb, kMaxColours> colours_{};
  size_t count_ = 0;
};

// Studio-range luminance and chrominance of an RGB colour: {Y, Cr, Cb}.
// Y lies in 16..235, Cr and Cb in 16..239.
std::array<uint8_t, 3> RgbToYCrCb(TRgb colour);

}  // namespace vidoria
