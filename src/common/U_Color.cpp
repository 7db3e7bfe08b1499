#include "common/U_Color.h"

#include <charconv>

namespace vidoria {

std::string TRgb::ToHex() const {
  static const char* hex = "0123456789ABCDEF";
  std::string s = "#";
  for (uint8_t v : {r, g, b}) {
    s.push_back(hex[v >> 4]);
    s.push_back(hex[v & 15]);
  }
  return s;
}

std::optional<TRgb> TRgb::FromHex(std::string_view text) {
  if (text.size() != 7 || text[0] != '#') return std::nullopt;
  uint32_t v = 0;
  auto [p, ec] = std::from_chars(text.data() + 1, text.data() + 7, v, 16);
  if (ec != std::errc() || p != text.data() + 7) return std::nullopt;
  return FromRgb(v);
}

}  // namespace vidoria
