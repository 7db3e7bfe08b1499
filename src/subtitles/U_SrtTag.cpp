#include "subtitles/U_SrtTag.h"

namespace vidoria {
namespace {

char32_t LowerAscii(char32_t c) { return c >= U'A' && c <= U'Z' ? c + 32 : c; }

int HexValue(char32_t c) {
  if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
  if (c >= U'a' && c <= U'f') return static_cast<int>(c - U'a' + 10);
  if (c >= U'A' && c <= U'F') return static_cast<int>(c - U'A' + 10);
  return -1;
}

// Consumes `literal` at `pos`; false when the text does not continue with it.
bool Expect(std::u32string_view text, size_t& pos, std::u32string_view literal) {
  if (text.substr(pos).starts_with(literal)) {
    pos += literal.size();
    return true;
  }
  return false;
}

void SkipBlanks(std::u32string_view text, size_t& pos) {
  while (pos < text.size() && text[pos] == U' ') ++pos;
}

}  // namespace

bool TSrtLetterTag::Matches(std::u32string_view text) const {
  size_t n = prefix_.size();
  return text.size() >= n + 2 && text.starts_with(prefix_) && LowerAscii(text[n]) == letter_ && text[n + 1] == U'>';
}

std::u32string TSrtLetterTag::ToString() const {
  std::u32string s(prefix_);
  s += letter_;
  s += U'>';
  return s;
}

void TSrtStyleTag::Apply(TSrtTagStateStack& stack) const {
  TSrtTagState state = stack.Top();
  stack.Push();
  state.Style = on_ ? (state.Style | bit_) : (state.Style & ~bit_);
  stack.SetTop(state);
}

size_t TSrtTagColor::Parse(std::u32string_view text, uint32_t& color, bool& hasColor) {
  size_t pos = 0;
  if (!Expect(text, pos, U"<font ")) return 0;
  SkipBlanks(text, pos);
  hasColor = false;
  color = 0;
  if (pos < text.size() && text[pos] != U'>') {
    if (!Expect(text, pos, U"color")) return 0;
    SkipBlanks(text, pos);
    if (!Expect(text, pos, U"=")) return 0;
    SkipBlanks(text, pos);
    if (!Expect(text, pos, U"\"#")) return 0;
    uint32_t value = 0;
    int digits = 0;
    while (digits < 8 && pos < text.size() && HexValue(text[pos]) >= 0) {
      value = value << 4 | static_cast<uint32_t>(HexValue(text[pos]));
      ++pos;
      ++digits;
    }
    if (digits < 2) return 0;
    if (!Expect(text, pos, U"\"")) return 0;
    SkipBlanks(text, pos);
    color = value;
    hasColor = true;
  }
  if (!Expect(text, pos, U">")) return 0;
  return pos;
}

bool TSrtTagColor::Matches(std::u32string_view text) const {
  uint32_t color;
  bool hasColor;
  return Parse(text, color, hasColor) > 0;
}

size_t TSrtTagColor::ConsumeView(std::u32string_view text) {
  uint32_t color;
  bool hasColor;
  size_t n = Parse(text, color, hasColor);
  if (n) {
    color_ = color;
    hasColor_ = hasColor;
  }
  return n;
}

std::u32string TSrtTagColor::ToString() const {
  if (!hasColor_) return U"<font >";
  static constexpr char32_t kDigits[] = U"0123456789ABCDEF";
  std::u32string hex;
  for (uint32_t v = color_; v != 0; v >>= 4) hex.insert(hex.begin(), kDigits[v & 15]);
  while (hex.size() < 2) hex.insert(hex.begin(), U'0');
  return U"<font color=\"#" + hex + U"\">";
}

void TSrtTagColor::Apply(TSrtTagStateStack& stack) const {
  TSrtTagState state = stack.Top();
  stack.Push();
  if (hasColor_) state.Color = color_;
  stack.SetTop(state);
}

}  // namespace vidoria
