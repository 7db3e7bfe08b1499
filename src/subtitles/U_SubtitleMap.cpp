#include "subtitles/U_SubtitleMap.h"

#include "platform/CodePages.h"
#include "subtitles/U_SrtTagParser.h"

#include <fribidi.h>

#include <algorithm>
#include <optional>

namespace vidoria {

namespace {

bool IsBlank(char32_t c) { return c <= U' '; }

// Break characters are tested on the whole code point, so that no letter of another
// script counts as a blank because of its low byte.
bool IsBreakChar(char32_t c) { return c == U'\t' || c == U' ' || c == U'-' || c == U'.'; }

std::u32string Trim(std::u32string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return std::u32string(s.substr(b, e - b));
}

// Drops the blanks before the first visible character and after the last one, keeping
// the tags among them. The broken pieces are trimmed the same way, so the markup can be
// matched back onto them character by character.
std::u32string TrimMarkupLine(const std::u32string& line) {
  TSrtTagFactory factory;
  std::u32string_view rest(line);
  std::u32string head;
  while (!rest.empty()) {
    const std::u32string_view before = rest;
    if (factory.Take(rest)) {
      head += before.substr(0, before.size() - rest.size());
    } else if (IsBlank(rest.front())) {
      rest.remove_prefix(1);
    } else {
      break;
    }
  }
  size_t e = rest.size();
  while (e > 0 && IsBlank(rest[e - 1])) --e;
  return head + std::u32string(rest.substr(0, e));
}

}  // namespace

std::vector<std::u32string> BreakLine(std::u32string_view line, int lineBreak) {
  const size_t limit = static_cast<size_t>(std::max(lineBreak, 1));
  const size_t n = line.size();
  if (n <= limit) return {Trim(line)};
  const size_t target = n / (n / limit + 1) + 1;
  std::vector<std::u32string> pieces;
  std::u32string rest(line);
  auto keep = [&](std::u32string piece) {
    piece = Trim(piece);
    if (!piece.empty()) pieces.push_back(std::move(piece));
  };
  while (!rest.empty()) {
    if (target >= rest.size()) {
      keep(rest);
      break;
    }
    // Nearest break character around the target, looking back first, then forward
    // (never past the line length).
    std::optional<size_t> cut;
    size_t back = target, fwd = target + 1;
    bool backDone = false;
    while (!cut) {
      bool looked = false;
      if (!backDone) {
        looked = true;
        if (IsBreakChar(rest[back])) {
          cut = back;
          break;
        }
        if (back == 0) backDone = true;
        else --back;
      }
      if (fwd < rest.size() && fwd <= limit) {
        looked = true;
        if (IsBreakChar(rest[fwd])) {
          cut = fwd;
          break;
        }
        ++fwd;
      }
      if (!looked) break;
    }
    if (cut) {
      keep(rest.substr(0, *cut + 1));
      rest.erase(0, *cut + 1);
    } else {
      pieces.push_back(rest.substr(0, target) + U"-");
      rest.erase(0, target);
    }
    size_t lead = 0;
    while (lead < rest.size() && IsBlank(rest[lead])) ++lead;
    rest.erase(0, lead);
  }
  return pieces;
}

bool HasRightToLeftText(std::u32string_view text) {
  for (char32_t c : text) {
    const FriBidiCharType t = fribidi_get_bidi_type(static_cast<FriBidiChar>(c));
    if (t == FRIBIDI_TYPE_RTL || t == FRIBIDI_TYPE_AL) return true;
  }
  return false;
}

TSubtitleMap::TSubtitleMap(TDVDPalette& palette) : palette_(palette) {
  Style.OutlineSize = 2;
  Style.ShadowOffset = 2;
}

void TSubtitleMap::SetLines(std::vector<std::u32string> lines) {
  source_ = std::move(lines);
  dirty_ = true;
}

void TSubtitleMap::Render() {
  if (!dirty_) return;
  for (uint32_t c : {Style.BackgroundColor, Style.OutlineColor, Style.ShadowColor, Style.TextColor})
    palette_.Add(TRgb::FromRgb(c));
  ChooseColors();
  Layout();
  Draw();
  dirty_ = false;
}

void TSubtitleMap::ChooseColors() {
  std::u32string all;
  for (const auto& line : source_) {
    all += line;
    all += U'\n';
  }
  uint32_t c1 = Style.TextColor, c2 = Style.TextColor, c3 = Style.TextColor;
  colorCount_ = AnalyseColors(all, c1, c2, c3);
  // A second text colour takes the shadow's slot and a third the outline's; the drawing
  // then leaves out the shadow, and the outline.
  palette_.Add(TRgb::FromRgb(c1));
  Style.TextColor = c1;
  if (colorCount_ > 1) {
    palette_.Add(TRgb::FromRgb(c2));
    Style.ShadowColor = c2;
  }
  if (colorCount_ > 2) {
    palette_.Add(TRgb::FromRgb(c3));
    Style.OutlineColor = c3;
  }
}

void TSubtitleMap::Layout() {
  std::vector<std::u32string> source;
  source.reserve(source_.size());
  for (const auto& line : source_) source.push_back(TrimMarkupLine(line));
  std::vector<std::u32string> plain = source;
  StripTagsOfLines(plain);

  int limit = Style.LineBreak;
  if (limit == 0) {
    limit = RecommendedLineBreak(Style.Font());
    Style.LineBreak = static_cast<uint16_t>(limit);
  }
  std::vector<std::u32string> pieces;
  for (;;) {
    pieces.clear();
    for (const auto& line : plain) {
      auto cut = BreakLine(line, limit);
      pieces.insert(pieces.end(), std::make_move_iterator(cut.begin()), std::make_move_iterator(cut.end()));
    }
    if (MaxLineWidth <= 0 || limit <= kMinLineBreak) break;
    // Counting characters suits most fonts; a wide font or a large size would still
    // run off the picture, so measure and break shorter while a line does not fit.
    int widest = 0;
    for (const auto& piece : pieces) widest = std::max(widest, MeasureText(piece));
    if (widest <= MaxLineWidth) break;
    const int64_t scaled = int64_t(limit) * MaxLineWidth / widest;
    limit = std::max(kMinLineBreak, static_cast<int>(std::min<int64_t>(limit - 1, scaled)));
  }
  source_ = RestoreMarkup(std::move(source), pieces);
  plain_ = std::move(pieces);
}

int TSubtitleMap::RecommendedLineBreak(const TFont& font) {
  TTextRenderer renderer(font);
  const int width = renderer.Measure("none").Width;
  return width > 0 ? 3300 / width : 60;
}

int TSubtitleMap::RecommendedLineBreak(const std::string& name, int size, bool bold, bool italic) {
  TFont font;
  font.Name = name;
  font.Size = size;
  font.Style = static_cast<TFontStyles>((bold ? fsBold : 0) | (italic ? fsItalic : 0));
  return RecommendedLineBreak(font);
}

}  // namespace vidoria
