#pragma once
// Checked big-endian writer for disc structures.
//
// Writes bit fields most significant bit first into a caller's fixed buffer. Every
// write is checked: a value wider than its field or a write past the end of the
// buffer marks the writer failed and leaves the buffer untouched from that point on,
// so a caller checks Ok() once after writing a whole structure.

#include <cstddef>
#include <cstdint>
#include <span>

namespace vidoria {

class TBitWriter {
 public:
  // Writing starts at byte `byteOffset` of `buffer`.
  explicit TBitWriter(std::span<uint8_t> buffer, size_t byteOffset = 0)
      : buffer_(buffer), bitPos_(byteOffset * 8) {
    if (byteOffset > buffer.size()) failed_ = true;
  }

  // Writes the low `bits` bits of `value` (1 to 64). Fails when `value` has bits set
  // above them or the field does not fit into the buffer.
  bool PutBits(uint64_t value, unsigned bits) {
    if (failed_) return false;
    if (bits == 0 || bits > 64 || (bits < 64 && (value >> bits) != 0) ||
        bitPos_ + bits > buffer_.size() * 8) {
      failed_ = true;
      return false;
    }
    for (unsigned i = bits; i-- > 0;) {
      const size_t byte = bitPos_ / 8;
      const unsigned shift = 7 - static_cast<unsigned>(bitPos_ % 8);
      const uint8_t mask = static_cast<uint8_t>(1u << shift);
      if ((value >> i) & 1u)
        buffer_[byte] = static_cast<uint8_t>(buffer_[byte] | mask);
      else
        buffer_[byte] = static_cast<uint8_t>(buffer_[byte] & ~mask);
      ++bitPos_;
    }
    return true;
  }

  bool PutU8(uint64_t v) { return PutBits(v, 8); }
  bool PutU16(uint64_t v) { return PutBits(v, 16); }
  bool PutU32(uint64_t v) { return PutBits(v, 32); }

  bool PutBytes(std::span<const uint8_t> bytes) {
    for (uint8_t b : bytes)
      if (!PutU8(b)) return false;
    return true;
  }

  // Writes `count` copies of `byte`.
  bool Fill(uint8_t byte, size_t count) {
    for (size_t i = 0; i < count; ++i)
      if (!PutU8(byte)) return false;
    return true;
  }

  // Moves to an absolute byte position (for structures with fields at fixed offsets).
  bool SeekByte(size_t byteOffset) {
    if (failed_ || byteOffset > buffer_.size()) {
      failed_ = true;
      return false;
    }
    bitPos_ = byteOffset * 8;
    return true;
  }

  bool Ok() const { return !failed_; }
  bool ByteAligned() const { return bitPos_ % 8 == 0; }
  size_t BitPosition() const { return bitPos_; }
  size_t BytePosition() const { return bitPos_ / 8; }

 private:
  std::span<uint8_t> buffer_;
  size_t bitPos_ = 0;
  bool failed_ = false;
};

}  // namespace vidoria
