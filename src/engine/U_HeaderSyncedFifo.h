#pragma once
// Re-cuts a byte stream into whole frames that each begin with a header pattern: copied
// DTS arrives in packets that need not hold whole frames, and a DVD wants each one whole.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vidoria {

class THeaderSyncedFifo {
 public:
  // Reads a frame's size from the bytes at a pattern match (as many as are buffered);
  // 0 when they are no valid header.
  using FrameSizeFn = size_t (*)(const uint8_t* header, size_t available);

  // Sets the pattern and the frame size and empties the buffer.
  void SetHeader(const uint8_t* pattern, size_t length, size_t frameSize);
  // The same with each frame's size read from its own header.
  void SetHeader(const uint8_t* pattern, size_t length, FrameSizeFn frameSize);
  void Push(const uint8_t* data, size_t count);
  // Yields one frame that starts with the pattern; bytes before it are dropped. False
  // while no whole frame is available.
  bool Pop(std::vector<uint8_t>& frame);
  size_t FrameSize() const { return frameSize_; }
  size_t Buffered() const { return buffer_.size(); }

 private:
  std::vector<uint8_t> pattern_;
  std::vector<uint8_t> buffer_;
  size_t frameSize_ = 0;
  FrameSizeFn sizeOf_ = nullptr;
  size_t scan_ = 0;
};

}  // namespace vidoria
