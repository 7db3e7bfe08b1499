#pragma once
// One colour type for the whole program. Other byte orders meet it only at their
// borders: Delphi-style TColor values in project files (0x00BBGGRR), the DVD palette
// (0x00RRGGBB) and 0xAARRGGBB pictures.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vidoria {

struct TRgb {
  uint8_t r = 0, g = 0, b = 0;

  static constexpr TRgb FromTColor(uint32_t bgr) {
    return {static_cast<uint8_t>(bgr), static_cast<uint8_t>(bgr >> 8), static_cast<uint8_t>(bgr >> 16)};
  }
  constexpr uint32_t ToTColor() const { return uint32_t(r) | uint32_t(g) << 8 | uint32_t(b) << 16; }
  static constexpr TRgb FromRgb(uint32_t rgb) {
    return {static_cast<uint8_t>(rgb >> 16), static_cast<uint8_t>(rgb >> 8), static_cast<uint8_t>(rgb)};
  }
  constexpr uint32_t ToRgb() const { return uint32_t(r) << 16 | uint32_t(g) << 8 | b; }
  constexpr uint32_t ToArgb(uint8_t alpha = 0xFF) const { return uint32_t(alpha) << 24 | ToRgb(); }

  // "#RRGGBB"
  std::string ToHex() const;
  static std::optional<TRgb> FromHex(std::string_view text);

  friend constexpr bool operator==(const TRgb&, const TRgb&) = default;
};

constexpr TRgb kWhite{255, 255, 255};
constexpr TRgb kBlack{0, 0, 0};

}  // namespace vidoria
