#pragma once
// DVD sub-picture units: a run-length coded picture of 2-bit pixels, stored as its two
// interlaced fields, followed by the control sequences that show it, choose its four
// palette colours and their contrast, and remove it again.

#include "app/U_LogConsts.h"
#include "common/U_DVDPalette.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vidoria {

// The sub-picture decoder buffer of a player. A larger unit cannot be shown.
constexpr size_t kMaxSubPictureUnitSize = 53220;

// A picture of pixel values 0 to 3 (larger values count as 0) placed on the screen.
struct TSpuPicture {
  int X = 0, Y = 0;
  int Width = 0, Height = 0;
  int Stride = 0;  // bytes from one row to the next
  // The colour each pixel value stands for, 0xTTRRGGBB, TT being a transparency:
  // 0 opaque, 255 invisible.
  std::array<uint32_t, 4> Colours{};
  std::span<const uint8_t> Pixels;  // Height rows of Stride bytes
};

// One unit to build.
struct TSubPicture {
  uint32_t Start = 0;  // ms
  uint32_t Stop = 0;   // ms; not after Start: shown until the next unit
  std::span<const TSpuPicture> Pictures;
  bool Forced = false;  // shown even when the viewer turned sub-pictures off
  bool Pal = true;      // frame timing of the stop delay: 25 or 29.97 per second
};

// A growable byte buffer with big-endian access.
class TSubPData {
 public:
  const std::vector<uint8_t>& Data() const { return data_; }
  size_t Size() const { return data_.size(); }
  void Resize(size_t size) { data_.resize(size); }
  void PutU8(size_t offset, uint8_t v) { data_.at(offset) = v; }
  void PutU16(size_t offset, uint16_t v) {
    data_.at(offset) = static_cast<uint8_t>(v >> 8);
    data_.at(offset + 1) = static_cast<uint8_t>(v);
  }
  uint16_t GetU16(size_t offset) const {
    return static_cast<uint16_t>(data_.at(offset) << 8 | data_.at(offset + 1));
  }

 protected:
  std::vector<uint8_t> data_;
};

// Builds one sub-picture unit against a palette.
class TSPUH : public TSubPData, public TLoggingObject {
 public:
  explicit TSPUH(const TDVDPalette& palette) : palette_(palette) {}

  // Builds the unit; returns its size, or 0 when it is refused: a picture that does not
  // describe its pixels or lies outside the 12-bit screen coordinates (error), or a unit
  // larger than the player's buffer (warning: the event is dropped). Both are logged.
  size_t Build(const TSubPicture& request);

  int64_t PresentationTime() const { return presentationTime_; }  // 90 kHz
  int64_t Duration() const { return duration_; }                  // ms
  // Palette entries chosen for pixel values 0 to 3.
  const std::array<uint8_t, 4>& PaletteIndices() const { return indices_; }
  // Menu page that asked for the unit; none for subtitles.
  const void* Owner = nullptr;

 private:
  const TDVDPalette& palette_;
  int64_t presentationTime_ = 0;
  int64_t duration_ = 0;
  std::array<uint8_t, 4> indices_{};
};

// Run-length codes of one field: rows `first`, first + 2, ... of `picture`, each
// starting on a byte boundary. Appended to `out`.
void EncodeSpuField(const TSpuPicture& picture, int first, std::vector<uint8_t>& out);

// A display duration in the units of the stop command (1024 / 90000 s), counted the
// way players count frames. Held at 65535 for very long durations.
uint16_t StopDelay(int64_t ms, bool pal);

}  // namespace vidoria
