#include "mux/U_NavPack.h"

#include "common/U_BitWriter.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace vidoria {

namespace {

// PCI offsets.
constexpr size_t kPciLbn = 0;
constexpr size_t kPciUop = 8;
constexpr size_t kPciVobuStart = 12;
constexpr size_t kPciVobuEnd = 16;
constexpr size_t kPciElapsed = 24;
constexpr size_t kPciHighlightStatus = 96;
constexpr size_t kPciHighlightStart = 98;
constexpr size_t kPciHighlightEnd = 102;
constexpr size_t kPciSelectionEnd = 106;
constexpr size_t kPciButtonMode = 110;
constexpr size_t kPciButtonCount = 113;
constexpr size_t kPciNumericButtons = 114;
constexpr size_t kPciColourTable = 118;
constexpr size_t kPciButtons = 142;
constexpr size_t kButtonSize = 18;

// DSI offsets.
constexpr size_t kDsiScr = 0;
constexpr size_t kDsiLbn = 4;
constexpr size_t kDsiVobuEnd = 8;
constexpr size_t kDsiRefEnds = 12;
constexpr size_t kDsiVobId = 24;
constexpr size_t kDsiCellId = 27;
constexpr size_t kDsiElapsed = 28;
constexpr size_t kDsiVobVideoStart = 44;
constexpr size_t kDsiVobVideoEnd = 48;
constexpr size_t kDsiNextVideo = 234;
constexpr size_t kDsiForward = 238;
constexpr size_t kDsiNextVobu = 314;
constexpr size_t kDsiPrevVobu = 318;
constexpr size_t kDsiBackward = 322;
constexpr size_t kDsiPrevVideo = 398;
constexpr size_t kDsiAudioSync = 402;
constexpr size_t kDsiSubpictureSync = 418;

template <size_t N>
void Put(std::array<uint8_t, N>& a, size_t offset, uint64_t value, unsigned bytes) {
  TBitWriter w(a, offset);
  w.PutBits(value, bytes * 8);
}

uint8_t Bcd(int64_t v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); }

constexpr int64_t Seconds(double s) { return static_cast<int64_t>(s * 90000); }

}  // namespace

const std::array<int64_t, kSearchPointers> kForwardIntervals = {
    Seconds(120), Seconds(60),  Seconds(30), Seconds(10),  Seconds(7.5), Seconds(7),  Seconds(6.5),
    Seconds(6),   Seconds(5.5), Seconds(5),  Seconds(4.5), Seconds(4),   Seconds(3.5), Seconds(3),
    Seconds(2.5), Seconds(2),   Seconds(1.5), Seconds(1),  Seconds(0.5)};

void TMPEG2_Nav_Pack::Clear() {
  pci_.fill(0);
  dsi_.fill(0);
}

void TMPEG2_Nav_Pack::SetLbn(uint32_t sector) {
  Put(pci_, kPciLbn, sector, 4);
  Put(dsi_, kDsiLbn, sector, 4);
}

void TMPEG2_Nav_Pack::SetCellElapsedFrames(int64_t frames) {
  const uint32_t bcd = ElapsedTimeBcd(frames, frameRate_);
  Put(pci_, kPciElapsed, bcd, 4);
  Put(dsi_, kDsiElapsed, bcd, 4);
}

void TMPEG2_Nav_Pack::SetUopMask(uint32_t mask) { Put(pci_, kPciUop, mask, 4); }
void TMPEG2_Nav_Pack::SetVobuStartPtm(uint32_t t) { Put(pci_, kPciVobuStart, t, 4); }
void TMPEG2_Nav_Pack::SetVobuEndPtm(uint32_t t) { Put(pci_, kPciVobuEnd, t, 4); }

bool TMPEG2_Nav_Pack::SetHighlight(const TNavHighlight& page, uint32_t startPtm) {
  const size_t count = page.Buttons.size();
  if (count == 0 || count > kMaxButtons) return false;
  auto neighbourOk = [count](uint8_t n) { return n >= 1 && n <= count; };
  for (const TNavButton& b : page.Buttons) {
    if (b.Colour > 3 || b.XEnd > 1023 || b.YEnd > 1023 || b.XStart > b.XEnd || b.YStart > b.YEnd ||
        !neighbourOk(b.Up) || !neighbourOk(b.Down) || !neighbourOk(b.Left) || !neighbourOk(b.Right))
      return false;
  }
  Put(pci_, kPciHighlightStatus, 1, 2);
  Put(pci_, kPciHighlightStart, startPtm, 4);
  Put(pci_, kPciHighlightEnd, 0xFFFFFFFF, 4);
  Put(pci_, kPciSelectionEnd, 0xFFFFFFFF, 4);
  Put(pci_, kPciButtonMode, 0x1000, 2);  // one button group, display type 0
  Put(pci_, kPciButtonCount, count, 1);
  Put(pci_, kPciNumericButtons, count, 1);
  std::copy(page.ColourTable.begin(), page.ColourTable.end(), pci_.begin() + kPciColourTable);
  std::fill(pci_.begin() + kPciButtons, pci_.begin() + kPciButtons + kMaxButtons * kButtonSize, 0);
  for (size_t i = 0; i < count; ++i) {
    const TNavButton& b = page.Buttons[i];
    TBitWriter w(pci_, kPciButtons + i * kButtonSize);
    w.PutBits(b.Colour, 2);
    w.PutBits(b.XStart, 10);
    w.PutBits(0, 2);
    w.PutBits(b.XEnd, 10);
    w.PutBits(b.AutoAction ? 1 : 0, 2);
    w.PutBits(b.YStart, 10);
    w.PutBits(0, 2);
    w.PutBits(b.YEnd, 10);
    for (uint8_t n : {b.Up, b.Down, b.Left, b.Right}) {
      w.PutBits(0, 2);
      w.PutBits(n, 6);
    }
    w.PutBytes(b.Command);
  }
  return true;
}

void TMPEG2_Nav_Pack::SetScrBase(uint32_t base90kHz) { Put(dsi_, kDsiScr, base90kHz, 4); }
void TMPEG2_Nav_Pack::SetVobuEndAddress(uint32_t s) { Put(dsi_, kDsiVobuEnd, s, 4); }

void TMPEG2_Nav_Pack::SetReferenceEndAddresses(const std::array<uint32_t, 3>& ends) {
  for (size_t i = 0; i < 3; ++i) Put(dsi_, kDsiRefEnds + 4 * i, ends[i], 4);
}

void TMPEG2_Nav_Pack::SetVobCell(uint16_t vobId, uint8_t cellId) {
  Put(dsi_, kDsiVobId, vobId, 2);
  Put(dsi_, kDsiCellId, cellId, 1);
}

void TMPEG2_Nav_Pack::SetVobVideoStartPtm(uint32_t t) { Put(dsi_, kDsiVobVideoStart, t, 4); }
void TMPEG2_Nav_Pack::SetVobVideoEndPtm(uint32_t t) { Put(dsi_, kDsiVobVideoEnd, t, 4); }
void TMPEG2_Nav_Pack::SetNextVobu(uint32_t v) { Put(dsi_, kDsiNextVobu, v, 4); }
void TMPEG2_Nav_Pack::SetPrevVobu(uint32_t v) { Put(dsi_, kDsiPrevVobu, v, 4); }
void TMPEG2_Nav_Pack::SetNextVideo(uint32_t v) { Put(dsi_, kDsiNextVideo, v, 4); }
void TMPEG2_Nav_Pack::SetPrevVideo(uint32_t v) { Put(dsi_, kDsiPrevVideo, v, 4); }

void TMPEG2_Nav_Pack::SetForwardPointers(const std::array<uint32_t, kSearchPointers>& p) {
  for (size_t i = 0; i < kSearchPointers; ++i) Put(dsi_, kDsiForward + 4 * i, p[i], 4);
}

void TMPEG2_Nav_Pack::SetBackwardPointers(const std::array<uint32_t, kSearchPointers>& p) {
  for (size_t i = 0; i < kSearchPointers; ++i) Put(dsi_, kDsiBackward + 4 * i, p[i], 4);
}

bool TMPEG2_Nav_Pack::SetAudioSync(unsigned stream, uint16_t sector) {
  if (stream > 7) return false;
  Put(dsi_, kDsiAudioSync + 2 * stream, sector, 2);
  return true;
}

bool TMPEG2_Nav_Pack::SetSubpictureSync(unsigned stream, uint32_t value) {
  if (stream > 31) return false;
  Put(dsi_, kDsiSubpictureSync + 4 * stream, value, 4);
  return true;
}

std::span<uint8_t, 8> TMPEG2_Nav_Pack::ButtonCommand(size_t n) {
  if (n >= kMaxButtons) throw std::out_of_range("button number");
  return std::span<uint8_t, 8>(pci_.data() + kPciButtons + n * kButtonSize + 10, 8);
}

bool TMPEG2_Nav_Pack::WriteSector(std::span<uint8_t> sector, const TMPEG2_program_pack& header) const {
  if (sector.size() != kSectorSize) return false;
  const size_t headerSize = header.Serialize(sector, true);
  if (headerSize != kPackHeaderSize + kSystemHeaderSize) return false;
  TBitWriter w(sector, headerSize);
  // Private stream 2, length 980, sub-stream 00: the PCI.
  w.PutU32(0x000001BF);
  w.PutU16(kPciSize + 1);
  w.PutU8(0x00);
  w.PutBytes(pci_);
  // Private stream 2, length 1018, sub-stream 01: the DSI.
  w.PutU32(0x000001BF);
  w.PutU16(kDsiSize + 1);
  w.PutU8(0x01);
  w.PutBytes(dsi_);
  return w.Ok() && w.BytePosition() == kSectorSize;
}

// ---------------------------------------------------------------- algorithms

uint32_t ElapsedTimeBcd(int64_t frames, int rate) {
  const int r = rate <= 25 ? 25 : 30;
  const int64_t maxFrames = (int64_t{99} * 3600 + 59 * 60 + 59) * r + (r - 1);
  frames = std::clamp<int64_t>(frames, 0, maxFrames);
  const int64_t seconds = frames / r;
  const uint32_t rateCode = r == 25 ? 0x40 : 0xC0;
  return static_cast<uint32_t>(Bcd(seconds / 3600)) << 24 | static_cast<uint32_t>(Bcd(seconds / 60 % 60)) << 16 |
         static_cast<uint32_t>(Bcd(seconds % 60)) << 8 | (rateCode | Bcd(frames % r));
}

std::array<uint32_t, 3> ReferenceEndAddresses(std::span<const TPictureSector> pictures,
                                              uint32_t lastVideoSector) {
  std::array<uint32_t, 3> ends{};
  size_t found = 0;
  for (size_t i = 0; i < pictures.size() && found < 3; ++i) {
    if (pictures[i].Type != PICT_I && pictures[i].Type != PICT_P) continue;
    ends[found++] = i + 1 < pictures.size() ? pictures[i + 1].Sector : lastVideoSector;
  }
  return ends;
}

namespace {

// The search pointers in order of growing interval; `find` gives the target index for
// an interval, or -1. Shared by both directions.
template <typename Find>
std::array<uint32_t, kSearchPointers> Pointers(std::span<const TVobuPosition> cell, size_t index, bool forward,
                                               Find find) {
  std::array<uint32_t, kSearchPointers> out{};
  ptrdiff_t previous = -1;  // target of the next shorter interval
  bool ended = false;
  for (size_t k = 0; k < kSearchPointers; ++k) {
    const int64_t interval = kForwardIntervals[kSearchPointers - 1 - k];
    const ptrdiff_t target = ended ? -1 : find(interval);
    uint32_t value;
    if (target < 0) {
      value = kSriNone;
      // VOBUs remain between the last target and the cell's edge.
      const ptrdiff_t edge = forward ? static_cast<ptrdiff_t>(cell.size()) - 1 : 0;
      if (!ended && previous >= 0 && previous != edge) value |= kSriSkipped;
      ended = true;
    } else {
      const uint32_t from = cell[index].StartSector, to = cell[static_cast<size_t>(target)].StartSector;
      value = kSriValid | ((forward ? to - from : from - to) & 0x3FFFFFFF);
      const bool skipped = previous >= 0 && (forward ? target > previous + 1 : target < previous - 1);
      if (skipped) value |= kSriSkipped;
      previous = target;
    }
    out[k] = value;
  }
  return out;
}

}  // namespace

std::array<uint32_t, kSearchPointers> BackwardPointers(std::span<const TVobuPosition> cell, size_t index) {
  if (index >= cell.size()) return {};
  // Walks back from the previous target: targets move back as the interval grows.
  ptrdiff_t from = static_cast<ptrdiff_t>(index) - 1;
  auto find = [&](int64_t interval) -> ptrdiff_t {
    const int64_t limit = cell[index].StartTime - interval;
    while (from >= 0 && cell[static_cast<size_t>(from)].StartTime > limit) --from;
    return from;
  };
  return Pointers(cell, index, false, find);
}

std::array<uint32_t, kSearchPointers> ForwardPointers(std::span<const TVobuPosition> cell, size_t index) {
  if (index >= cell.size()) return {};
  size_t from = index + 1;
  auto find = [&](int64_t interval) -> ptrdiff_t {
    const int64_t limit = cell[index].StartTime + interval;
    while (from < cell.size() && cell[from].StartTime < limit) ++from;
    return from < cell.size() ? static_cast<ptrdiff_t>(from) : -1;
  };
  auto p = Pointers(cell, index, true, find);
  std::reverse(p.begin(), p.end());  // written from 120 s down to 0.5 s
  return p;
}

}  // namespace vidoria
