// VobSub index files are hand-edited text: the reader must refuse or accept them
// cleanly, and what it accepts must stay within the limits the rest relies on.
#include "subtitles/U_Subtitles.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vidoria;
  TIdxContents idx;
  std::vector<std::string> warnings;
  std::string error;
  if (!ParseIdx(std::string_view(reinterpret_cast<const char*>(data), size), idx, warnings, error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  if ((idx.Height != 0) != (idx.Width != 0)) std::abort();
  for (const auto& e : idx.Entries)
    if (e.FilePos < 0 || e.Start < 0 || e.StreamIndex >= kMaxSttStreams || !idx.StreamPresent[e.StreamIndex])
      std::abort();
  for (const auto& lang : idx.Language)
    if (!lang.empty() && lang.size() != 2) std::abort();
  return 0;
}
