#pragma once
// Typesetting of one text subtitle event: the style, line breaking, markup put back onto
// the broken lines, and the choice of the four sub-picture colour slots, registered in
// the title's palette. Drawing is left to a derived class.

#include "common/U_DVDPalette.h"
#include "subtitles/U_SttBase.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vidoria {

// Line breaks asked of the font never go below this many characters.
constexpr int kMinLineBreak = 8;

class TSubtitleMap {
 public:
  explicit TSubtitleMap(TDVDPalette& palette);
  virtual ~TSubtitleMap() = default;
  TSubtitleMap(const TSubtitleMap&) = delete;
  TSubtitleMap& operator=(const TSubtitleMap&) = delete;

  // Starts with the defaults of a style entry, but an outline and a shadow of 2 pixels.
  TTypeSettingEntry Style;
  bool RightToLeft = false;
  float Position = 90.0f;  // vertical position of right-to-left text, percent of the height
  // Widest line the drawing can hold, in pixels; 0 when any width will do. Lines that
  // measure wider are broken shorter than the style asks.
  int MaxLineWidth = 0;

  // The event's lines, with markup.
  void SetLines(std::vector<std::u32string> lines);
  // Registers the style's colours, chooses the colour slots, breaks the lines and draws;
  // nothing when no new lines were given since the last call.
  void Render();

  int ColorCount() const { return colorCount_; }
  bool Dirty() const { return dirty_; }
  // After Render: the broken lines with their markup, and the same without markup.
  const std::vector<std::u32string>& SourceLines() const { return source_; }
  const std::vector<std::u32string>& PlainLines() const { return plain_; }

  // 3300 divided by the width of "none" drawn in the font: a line length in characters
  // that fits the picture; 60 when the font draws nothing.
  static int RecommendedLineBreak(const TFont& font);
  static int RecommendedLineBreak(const std::string& name, int size, bool bold, bool italic);

 protected:
  // Width in pixels of plain text in the style's font; 0 when it cannot be measured.
  virtual int MeasureText(std::u32string_view text) {
    (void)text;
    return 0;
  }
  virtual void ChooseColors();
  virtual void Draw() {}
  void Layout();

  TDVDPalette& palette_;
  int colorCount_ = 1;
  std::vector<std::u32string> source_;
  std::vector<std::u32string> plain_;
  bool dirty_ = true;
};

// Cuts a line without markup into pieces of about equal length, none much longer than
// `lineBreak` characters, at tabs, spaces, hyphens and full stops near each target
// length; a word too long for any cut is split with a hyphen. Pieces are trimmed; a line
// not longer than `lineBreak` is returned whole (trimmed).
std::vector<std::u32string> BreakLine(std::u32string_view line, int lineBreak);

// Whether the text holds letters of a right-to-left script.
bool HasRightToLeftText(std::u32string_view text);

}  // namespace vidoria
