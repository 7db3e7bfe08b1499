#include "subtitles/U_SubPictureUnit.h"

#include <algorithm>

namespace vidoria {

namespace {

// Bits are appended most significant first.
class TBitSink {
 public:
  explicit TBitSink(std::vector<uint8_t>& out) : out_(out) {}
  void Put(unsigned value, unsigned bits) {
    for (unsigned i = bits; i-- > 0;) {
      if (used_ == 0) out_.push_back(0);
      if ((value >> i) & 1u) out_.back() = static_cast<uint8_t>(out_.back() | (0x80u >> used_));
      used_ = (used_ + 1) % 8;
    }
  }
  void Align() { used_ = 0; }

 private:
  std::vector<uint8_t>& out_;
  unsigned used_ = 0;  // bits taken in the last byte
};

// A row's codes stay within 1440 bits (180 bytes): once a code might pass that, the
// rest of the row is written as one run of value 0.
constexpr unsigned kRowCutBits = 1423;

void EncodeRow(const uint8_t* row, int width, TBitSink& sink) {
  auto value = [row](int x) -> unsigned { return row[x] > 3 ? 0u : row[x]; };
  unsigned written = 0;
  auto toRowEnd = [&](unsigned c) {
    sink.Put(0, 14);
    sink.Put(c, 2);
  };
  int x = 0;
  while (x < width) {
    const unsigned c = value(x);
    int n = 1;
    while (x + n < width && value(x + n) == c) ++n;
    if (written > kRowCutBits) {
      toRowEnd(0);
      break;
    }
    if (n <= 3) {
      if (written > 1420) { toRowEnd(0); break; }
      sink.Put(static_cast<unsigned>(n), 2);
      sink.Put(c, 2);
      written += 4;
    } else if (n <= 15) {
      if (written > 1416) { toRowEnd(0); break; }
      sink.Put(static_cast<unsigned>(n), 6);
      sink.Put(c, 2);
      written += 8;
    } else if (n <= 63) {
      if (written > 1412) { toRowEnd(0); break; }
      sink.Put(static_cast<unsigned>(n), 10);
      sink.Put(c, 2);
      written += 12;
    } else if (x + n < width) {
      if (written > 1408) { toRowEnd(0); break; }
      n = std::min(n, 255);
      sink.Put(static_cast<unsigned>(n), 14);
      sink.Put(c, 2);
      written += 16;
    } else {
      toRowEnd(c);
      break;
    }
    x += n;
  }
  sink.Align();
}

bool PictureValid(const TSpuPicture& p) {
  if (p.Width <= 0 || p.Height <= 0 || p.X < 0 || p.Y < 0) return false;
  if (p.X + p.Width - 1 > 0xFFF || p.Y + p.Height - 1 > 0xFFF) return false;
  if (p.Stride < p.Width) return false;
  const size_t need = static_cast<size_t>(p.Stride) * static_cast<size_t>(p.Height - 1) + static_cast<size_t>(p.Width);
  return p.Pixels.size() >= need;
}

// Two nibbles per byte, pixel value 3 first.
uint16_t NibbleWord(const std::array<uint8_t, 4>& v) {
  return static_cast<uint16_t>((v[3] & 0xF) << 12 | (v[2] & 0xF) << 8 | (v[1] & 0xF) << 4 | (v[0] & 0xF));
}

}  // namespace

void EncodeSpuField(const TSpuPicture& picture, int first, std::vector<uint8_t>& out) {
  TBitSink sink(out);
  for (int y = first; y < picture.Height; y += 2)
    EncodeRow(picture.Pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(picture.Stride), picture.Width,
              sink);
}

uint16_t StopDelay(int64_t ms, bool pal) {
  static constexpr uint16_t kTen[6] = {0, 878, 1757, 2636, 3515, 4394};
  static constexpr uint16_t kOne[10] = {0, 87, 175, 263, 351, 439, 527, 615, 703, 791};
  static constexpr uint16_t kPalFrame[25] = {0,  3,  7,  10, 14, 17, 21, 24, 28, 31, 35, 38, 42,
                                             45, 49, 52, 56, 59, 63, 66, 70, 73, 77, 80, 84};
  static constexpr uint16_t kNtscFrame[30] = {0,  2,  5,  8,  11, 14, 17, 20, 23, 26, 29, 32, 35, 38, 41,
                                              43, 46, 49, 52, 55, 58, 61, 64, 67, 70, 73, 76, 79, 82, 84};
  if (ms <= 0) return 0;
  const int64_t minutes = ms / 60000;
  const int64_t tens = (ms % 60000) / 10000;
  const int64_t ones = (ms % 10000) / 1000;
  const int64_t rest = ms % 1000;
  const int64_t frame = pal ? kPalFrame[rest / 40] : kNtscFrame[(rest * 30) / 1001];
  const int64_t delay = minutes * 5273 + kTen[tens] + kOne[ones] + frame;
  return static_cast<uint16_t>(std::min<int64_t>(delay, 0xFFFF));
}

size_t TSPUH::Build(const TSubPicture& request) {
  data_.clear();
  presentationTime_ = int64_t{request.Start} * 90;
  duration_ = int64_t{request.Stop} - int64_t{request.Start};
  const auto& pictures = request.Pictures;
  if (pictures.empty()) {
    Log(EVT_ERROR, "Sub-picture without picture");
    return 0;
  }
  for (const TSpuPicture& p : pictures) {
    if (!PictureValid(p)) {
      LogFmt(EVT_ERROR, "Sub-picture of %dx%d at (%d,%d) is not a valid picture", p.Width, p.Height, p.X, p.Y);
      return 0;
    }
  }

  // Pixel data, then the control sequences.
  std::vector<uint8_t> unit(4, 0);
  std::vector<std::array<uint16_t, 2>> fieldOffsets;
  for (const TSpuPicture& p : pictures) {
    std::array<uint16_t, 2> offsets{};
    for (int field = 0; field < 2; ++field) {
      offsets[field] = static_cast<uint16_t>(std::min<size_t>(unit.size(), 0xFFFF));
      EncodeSpuField(p, field, unit);
    }
    fieldOffsets.push_back(offsets);
  }
  const bool hasStop = request.Stop > request.Start;
  const size_t control = unit.size();
  const size_t stopAt = control + 12 + 12 * pictures.size();
  size_t total = stopAt + (hasStop ? 6 : 0);
  total += total % 2;
  if (total > kMaxSubPictureUnitSize) {
    LogFmt(EVT_WARNING, "Sub-picture at %d ms needs %d bytes, more than the %d a player can hold: dropped",
           static_cast<int64_t>(request.Start), static_cast<int64_t>(total),
           static_cast<int64_t>(kMaxSubPictureUnitSize));
    return 0;
  }

  // The colours and contrasts come from the first picture.
  std::array<uint8_t, 4> contrast{};
  for (size_t j = 0; j < 4; ++j) {
    const uint32_t argb = pictures[0].Colours[j];
    indices_[j] = static_cast<uint8_t>(palette_.Nearest(TRgb::FromRgb(argb & 0xFFFFFF)));
    contrast[j] = static_cast<uint8_t>((255 - (argb >> 24)) >> 4);
  }

  auto u8 = [&unit](unsigned v) { unit.push_back(static_cast<uint8_t>(v)); };
  auto u16 = [&unit](unsigned v) {
    unit.push_back(static_cast<uint8_t>(v >> 8));
    unit.push_back(static_cast<uint8_t>(v));
  };
  u16(0);                                // delay
  u16(hasStop ? stopAt : control);       // next sequence: itself when there is no stop
  u8(request.Forced ? 0x00 : 0x01);      // (forced) start display
  u8(0x03);
  u16(NibbleWord(indices_));
  u8(0x04);
  u16(NibbleWord(contrast));
  for (size_t i = 0; i < pictures.size(); ++i) {
    const TSpuPicture& p = pictures[i];
    const unsigned x1 = static_cast<unsigned>(p.X), x2 = static_cast<unsigned>(p.X + p.Width - 1);
    const unsigned y1 = static_cast<unsigned>(p.Y), y2 = static_cast<unsigned>(p.Y + p.Height - 1);
    u8(0x05);
    u8(x1 >> 4);
    u8((x1 & 0xF) << 4 | x2 >> 8);
    u8(x2 & 0xFF);
    u8(y1 >> 4);
    u8((y1 & 0xF) << 4 | y2 >> 8);
    u8(y2 & 0xFF);
    u8(0x06);
    u16(fieldOffsets[i][0]);
    u16(fieldOffsets[i][1]);
  }
  u8(0xFF);
  if (hasStop) {
    const uint16_t least = request.Pal ? 3 : 2;
    u16(std::max(StopDelay(duration_, request.Pal), least));
    u16(stopAt);
    u8(0x02);
    u8(0xFF);
  }
  if (unit.size() % 2) u8(0xFF);
  unit[0] = static_cast<uint8_t>(unit.size() >> 8);
  unit[1] = static_cast<uint8_t>(unit.size());
  unit[2] = static_cast<uint8_t>(control >> 8);
  unit[3] = static_cast<uint8_t>(control);
  data_ = std::move(unit);
  return data_.size();
}

}  // namespace vidoria
