// Subtitle markup is typed by hand: any text must strip, analyse and survive having its
// markup put back after line cuts without losing or inventing visible characters.
#include "platform/CodePages.h"
#include "subtitles/U_SrtTagParser.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vidoria;
  std::u32string text = DecodeUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  std::u32string plain = StripTags(text);

  uint32_t c1 = 0xFFFFFF, c2 = c1, c3 = c1;
  int n = AnalyseColors(text, c1, c2, c3);
  if (n < 1 || n > 3) std::abort();

  // Every tag applied to a stack with a base entry: the base always stays.
  TSrtTagFactory factory;
  factory.Stack().SetBase({0, 0xFFFFFF});
  std::u32string rest = text;
  while (!rest.empty()) {
    if (TSrtTag* tag = factory.Take(rest)) tag->Apply(factory.Stack());
    else factory.TakeChar(rest);
    if (factory.Stack().Count() < 1) std::abort();
  }

  // Cut the plain text at every blank, as line breaking would, and put the markup back.
  // Where stripping joined characters into a new tag ("<<i>b>" gives "<b>") the text has
  // no single reading, so only texts that strip to themselves are checked.
  if (StripTags(plain) != plain) return 0;
  std::vector<std::u32string> pieces;
  size_t start = 0;
  for (size_t i = 0; i <= plain.size(); ++i) {
    if (i < plain.size() && plain[i] != U' ') continue;
    std::u32string piece = plain.substr(start, i - start);
    if (!piece.empty()) pieces.push_back(piece);
    start = i + 1;
  }
  auto marked = RestoreMarkup({text}, pieces);
  if (marked.size() != pieces.size()) std::abort();
  for (size_t i = 0; i < pieces.size(); ++i)
    if (StripTags(marked[i]) != pieces[i]) std::abort();
  return 0;
}
