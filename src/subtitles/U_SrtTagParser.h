#pragma once
// Reading markup out of subtitle text: the tag factory, and the helpers built on it.

#include "subtitles/U_SrtTag.h"

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vidoria {

// One instance of every tag kind and a style stack. Holds per-drawing state (the stack,
// the colour of the last colour tag), so each drawing uses its own factory.
class TSrtTagFactory {
 public:
  TSrtTagFactory();

  // Removes the tag at the start of `text` and returns it (owned by the factory, valid
  // until the next Take); nullptr, text unchanged, when the text starts with no tag.
  TSrtTag* Take(std::u32string& text);
  // The same on a view, which is advanced past the tag.
  TSrtTag* Take(std::u32string_view& text);
  // Removes and returns the first character; a space for an empty text.
  static char32_t TakeChar(std::u32string& text);

  TSrtTagStateStack& Stack() { return stack_; }

 private:
  // Opening tags first, then closing tags; the first that matches wins.
  std::array<std::unique_ptr<TSrtTag>, 14> tags_;
  TSrtTagStateStack stack_;
};

// The text with every tag removed.
std::u32string StripTags(std::u32string_view text);
void StripTagsOfLines(std::vector<std::u32string>& lines);

// Finds the text colours of a subtitle (its whole text with markup). On entry c1 holds
// the default text colour. Returns how many distinct colours the visible text uses (1 to
// 3) and puts them in c1, c2, c3: the default colour first when plain text uses it, then
// the colours of colour tags in order of appearance. Unused slots keep the default.
int AnalyseColors(std::u32string_view text, uint32_t& c1, uint32_t& c2, uint32_t& c3);

// Puts markup back onto lines that were stripped and broken. `source` holds the lines
// with markup, `plain` the same lines without markup and cut into pieces (each source
// line giving one or more consecutive pieces). Returns the pieces with their markup.
// Tags standing where a line was cut move to the start of the continuation piece, so a
// style opened there still covers its words and its closing tag still has its opener.
std::vector<std::u32string> RestoreMarkup(std::vector<std::u32string> source, const std::vector<std::u32string>& plain);

}  // namespace vidoria
