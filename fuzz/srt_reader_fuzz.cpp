// SubRip files come from anywhere, in any encoding: decoding and cue parsing must never
// fail on them, and what they give must be usable as it is.
#include "platform/CodePages.h"
#include "subtitles/U_Subtitles.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vidoria;
  static const uint32_t kCodePages[] = {0, 1252, 1251, 932, 936, 65001, 1200, 50220};
  uint32_t codePage = size ? kCodePages[data[0] % std::size(kCodePages)] : 0;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::u32string text;
  std::string error;
  if (!DecodeText(bytes, codePage, text, nullptr, &error)) return 0;
  std::vector<std::string> warnings;
  for (const auto& cue : ParseSrt(SplitLines(text), &warnings)) {
    if (cue.Lines.empty()) std::abort();
    for (const auto& line : cue.Lines)
      if (line.empty() || line.size() > 1024) std::abort();
  }
  return 0;
}
