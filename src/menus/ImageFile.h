#pragma once
// Reads a picture file (PNG, JPEG, BMP and whatever else FFmpeg's image decoders take)
// into a 32-bit picture, for the menu backgrounds.

#include "platform/Bitmap32.h"

#include <filesystem>
#include <string>

namespace vidoria {

struct TImageLimits {
  int MaxSide = 8192;      // larger pictures are refused before they are decoded
  double MaxAspect = 8.0;  // long side / short side; thinner strips are refused
};

// Decodes the first picture of `file` into `picture` (straight alpha; opaque when the
// file has none). On failure returns false, leaves `picture` empty and puts a short
// English reason into `error` ("file not found", "not a picture", ...).
bool LoadImageFile(const std::filesystem::path& file, TBitmap32& picture, std::string& error,
                   const TImageLimits& limits = {});

}  // namespace vidoria
