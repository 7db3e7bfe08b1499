// .sub files are trusted by nobody: any bytes at any index position must give a
// well-formed sub-picture unit or a refusal.
#include "subtitles/U_Subtitles.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vidoria;
  if (size < 1) return 0;
  const uint8_t stream = static_cast<uint8_t>(0x20 + (data[0] & 0x1F));
  // Seeds stay small: the input is filled up to whole packs with 0xFF, which ends a pack.
  std::vector<uint8_t> sub(data + 1, data + size);
  sub.resize((sub.size() + kSubPackSize - 1) / kSubPackSize * kSubPackSize, 0xFF);
  TMemoryPackSource source(sub.data(), sub.size());
  std::vector<uint8_t> unit;
  std::string error;
  for (int64_t pos = 0; pos < source.Size(); pos += static_cast<int64_t>(kSubPackSize)) {
    if (!ReadSubPictureUnit(source, pos, stream, unit, error)) {
      if (error.empty()) std::abort();
      continue;
    }
    if (unit.size() < 4 || unit.size() != size_t(unit[0] << 8 | unit[1])) std::abort();
  }
  return 0;
}
