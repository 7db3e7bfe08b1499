#include "engine/U_HeaderSyncedFifo.h"

#include <algorithm>

namespace vidoria {

void THeaderSyncedFifo::SetHeader(const uint8_t* pattern, size_t length, FrameSizeFn frameSize) {
  SetHeader(pattern, length, length);
  sizeOf_ = frameSize;
}

void THeaderSyncedFifo::SetHeader(const uint8_t* pattern, size_t length, size_t frameSize) {
  pattern_.assign(pattern, pattern + length);
  sizeOf_ = nullptr;
  frameSize_ = std::max(frameSize, length);
  buffer_.clear();
  buffer_.reserve(4 * frameSize_);
  scan_ = 0;
}

void THeaderSyncedFifo::Push(const uint8_t* data, size_t count) { buffer_.insert(buffer_.end(), data, data + count); }

bool THeaderSyncedFifo::Pop(std::vector<uint8_t>& frame) {
  if (frameSize_ == 0 || buffer_.size() < frameSize_) return false;
  for (size_t pos = scan_; pos + frameSize_ <= buffer_.size(); ++pos) {
    const auto at = buffer_.begin() + static_cast<std::ptrdiff_t>(pos);
    if (!std::equal(pattern_.begin(), pattern_.end(), at)) continue;
    size_t size = frameSize_;
    if (sizeOf_) {
      size = sizeOf_(buffer_.data() + pos, buffer_.size() - pos);
      if (size == 0) continue;  // the pattern inside other data, not a frame
      if (pos + size > buffer_.size()) {
        scan_ = pos;  // a frame still arriving
        return false;
      }
    }
    frame.assign(at, at + static_cast<std::ptrdiff_t>(size));
    buffer_.erase(buffer_.begin(), at + static_cast<std::ptrdiff_t>(size));
    scan_ = 0;
    return true;
  }
  scan_ = buffer_.size() >= frameSize_ ? buffer_.size() - frameSize_ + 1 : 0;
  return false;
}

}  // namespace vidoria
