#pragma once
// Checked big-endian byte writer for sector-based disc files.
//
// Appends to a growing buffer, and patches fields already written (for offsets and
// sizes that are known only after the parts behind them are laid out). A value wider
// than its field, or a patch outside the bytes written so far, marks the writer
// failed and leaves the buffer as it was from then on, so a caller checks Ok() once
// after writing a whole structure.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vidoria {

class TByteWriter {
 public:
  static constexpr size_t kSectorSize = 2048;

  bool U8(uint64_t v) { return Put(v, 1); }
  bool U16(uint64_t v) { return Put(v, 2); }
  bool U32(uint64_t v) { return Put(v, 4); }

  bool Bytes(std::span<const uint8_t> bytes) {
    if (failed_) return false;
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return true;
  }

  bool Zeros(size_t count) {
    if (failed_) return false;
    data_.resize(data_.size() + count, 0);
    return true;
  }

  // Zero-fills up to the next multiple of the sector size (nothing when already there).
  bool PadToSector() { return Zeros((kSectorSize - data_.size() % kSectorSize) % kSectorSize); }

  // Overwrites a field inside the bytes written so far.
  bool PatchU8(size_t at, uint64_t v) { return Patch(at, v, 1); }
  bool PatchU16(size_t at, uint64_t v) { return Patch(at, v, 2); }
  bool PatchU32(size_t at, uint64_t v) { return Patch(at, v, 4); }
  bool PatchBytes(size_t at, std::span<const uint8_t> bytes) {
    if (failed_ || at > data_.size() || bytes.size() > data_.size() - at) return Fail();
    for (size_t i = 0; i < bytes.size(); ++i) data_[at + i] = bytes[i];
    return true;
  }
  // Text without its terminator, into a field of `width` bytes (zero-filled behind it).
  bool PatchText(size_t at, std::string_view text, size_t width) {
    if (text.size() > width) return Fail();
    return PatchBytes(at, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }

  size_t Size() const { return data_.size(); }
  bool Ok() const { return !failed_; }
  const std::vector<uint8_t>& Data() const { return data_; }
  std::vector<uint8_t> Take() { return std::move(data_); }

 private:
  static bool Fits(uint64_t v, unsigned bytes) { return bytes >= 8 || (v >> (8 * bytes)) == 0; }

  bool Fail() {
    failed_ = true;
    return false;
  }

  bool Put(uint64_t v, unsigned bytes) {
    if (failed_ || !Fits(v, bytes)) return Fail();
    for (unsigned i = bytes; i-- > 0;) data_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return true;
  }

  bool Patch(size_t at, uint64_t v, unsigned bytes) {
    if (failed_ || !Fits(v, bytes) || at > data_.size() || bytes > data_.size() - at) return Fail();
    for (unsigned i = 0; i < bytes; ++i) data_[at + i] = static_cast<uint8_t>(v >> (8 * (bytes - 1 - i)));
    return true;
  }

  std::vector<uint8_t> data_;
  bool failed_ = false;
};

}  // namespace vidoria
