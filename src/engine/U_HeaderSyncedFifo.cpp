#include "engine/U_HeaderSyncedFifo.h"

#include <algorithm>

namespace vidoria {

void THeaderSyncedFifo::SetHeader(const uint8_t* pattern, size_t length, size_t frameSize) {
  pattern_.assign(pattern, pattern + length);
  frameSize_ = std::max(frameSize, length);
  buffer_.clear();
  buffer_.reserve(4 * frameSize_);
  scan_ = 0;
}

void THeaderSyncedFifo::Push(const uint8_t* data, size_t count) { buffer_.insert(buffer_.end(), data, data + count); }

bool THeaderSyncedFifo::Pop(std::vector<uint8_t>& frame) {
  if (frameSize_ == 0 || buffer_.size() < frameSize_) return false;
  const size_t last = buffer_.size() - frameSize_;  // a frame must fit from the match on
  for (size_t pos = scan_; pos <= last; ++pos) {
    if (!std::equal(pattern_.begin(), pattern_.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos))) continue;
    frame.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(pos),
                 buffer_.begin() + static_cast<std::ptrdiff_t>(pos + frameSize_));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos + frameSize_));
    scan_ = 0;
    return true;
  }
  scan_ = last + 1;
  return false;
}

}  // namespace vidoria
