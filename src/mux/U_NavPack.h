#pragma once
// The navigation pack that opens every VOBU: pack header, system header, and two
// private-stream-2 packets with the presentation control information (PCI, 979 bytes)
// and the data search information (DSI, 1017 bytes). Every byte not set is 0.

#include "mux/U_MuxPacket.h"
#include "mux/U_VOB.h"

#include <array>
#include <cstdint>
#include <span>

namespace vidoria {

constexpr size_t kPciSize = 979;
constexpr size_t kDsiSize = 1017;
constexpr size_t kMaxButtons = 36;
constexpr size_t kSearchPointers = 19;

// Search pointer and neighbour values.
constexpr uint32_t kSriValid = 0x80000000;    // a target VOBU exists
constexpr uint32_t kSriSkipped = 0x40000000;  // VOBUs lie between this target and the previous one
constexpr uint32_t kSriNone = 0x3FFFFFFF;     // no VOBU qualifies / end of cell
constexpr uint32_t kSriNoVideo = 0xBFFFFFFF;  // next/previous VOBU with video at a cell edge
constexpr uint32_t kSyncNone = 0x7FFFFFFF;    // sub-picture sync: no unit to wait for

class TMPEG2_Nav_Pack {
 public:
  TMPEG2_Nav_Pack() { Clear(); }

  // All PCI and DSI bytes 0 (the frame rate stays).
  void Clear();
  // 25 for any rate up to 25, else 30.
  void SetFrameRate(int rate) { frameRate_ = rate <= 25 ? 25 : 30; }
  int FrameRate() const { return frameRate_; }

  // ---- both packets
  // VOBU start sector counted from the first sector of the VOB file set.
  void SetLbn(uint32_t sector);
  // Elapsed time of the VOBU within its cell, from a count of whole frames.
  void SetCellElapsedFrames(int64_t frames);

  // ---- PCI
  void SetUopMask(uint32_t mask);
  void SetVobuStartPtm(uint32_t t);
  void SetVobuEndPtm(uint32_t t);
  // The highlight block of a menu page: status 1, start time, end times FFFFFFFF, one
  // button group, and the buttons in page order. Refused (false, nothing changed) for
  // more than 36 buttons, a colour above 3, coordinates beyond 1023 or reversed, or a
  // neighbour that is not a button of the page.
  bool SetHighlight(const TNavHighlight& page, uint32_t startPtm);

  // ---- DSI
  void SetScrBase(uint32_t base90kHz);
  void SetVobuEndAddress(uint32_t lastRelativeSector);
  void SetReferenceEndAddresses(const std::array<uint32_t, 3>& ends);
  void SetVobCell(uint16_t vobId, uint8_t cellId);
  void SetVobVideoStartPtm(uint32_t t);
  void SetVobVideoEndPtm(uint32_t t);
  void SetNextVobu(uint32_t v);
  void SetPrevVobu(uint32_t v);
  void SetNextVideo(uint32_t v);
  void SetPrevVideo(uint32_t v);
  // Forward: for 120, 60, 30, 10, 7.5, 7, ... 1, 0.5 s. Backward: for 0.5, 1, ... 120 s.
  void SetForwardPointers(const std::array<uint32_t, kSearchPointers>& p);
  void SetBackwardPointers(const std::array<uint32_t, kSearchPointers>& p);
  // Audio stream 0-7: relative sector of its first pack in the VOBU, 0 for none.
  bool SetAudioSync(unsigned stream, uint16_t sector);
  // Sub-picture stream 0-31.
  bool SetSubpictureSync(unsigned stream, uint32_t value);

  std::span<const uint8_t, kPciSize> Pci() const { return pci_; }
  std::span<const uint8_t, kDsiSize> Dsi() const { return dsi_; }
  // The command slot of button n (0-based) in the PCI.
  std::span<uint8_t, 8> ButtonCommand(size_t n);

  // Writes the whole 2048-byte sector: `header` with its system header, then the PCI
  // and DSI packets. Returns false when `sector` is not 2048 bytes long.
  bool WriteSector(std::span<uint8_t> sector, const TMPEG2_program_pack& header) const;

 private:
  std::array<uint8_t, kPciSize> pci_{};
  std::array<uint8_t, kDsiSize> dsi_{};
  int frameRate_ = 25;
};

// The cell elapsed time as written: BCD hours, minutes, seconds and frames, with the
// frame-rate code (01 for 25, 11 for 30) in the top two bits of the frames byte.
// Times beyond 99:59:59 are held at that value.
uint32_t ElapsedTimeBcd(int64_t frames, int rate);

// A picture of a VOBU in coding order, with the relative sector its data starts in.
struct TPictureSector {
  TPictureType Type = PICT_NONE;
  uint32_t Sector = 0;
};

// End addresses of the first three reference (I or P) pictures: the sector where the
// picture after each one starts, which holds the reference picture's last bytes. For a
// reference picture that is the last one listed, the sector of the VOBU's last video
// pack. 0 when the VOBU has fewer reference pictures. `pictures` lists the VOBU's
// pictures in coding order, at least up to the one following the third reference picture.
std::array<uint32_t, 3> ReferenceEndAddresses(std::span<const TPictureSector> pictures,
                                              uint32_t lastVideoSector);

// A VOBU as the search pointers see it.
struct TVobuPosition {
  uint32_t StartSector = 0;
  int64_t StartTime = 0;  // 90 kHz
};

// Search intervals in 90 kHz ticks, in the order of the forward pointers.
extern const std::array<int64_t, kSearchPointers> kForwardIntervals;

// Pointers of VOBU `index` of a cell whose VOBUs (in order) are `cell`. A backward
// target is the latest VOBU that starts at or before (start - interval); a forward
// target the earliest that starts at or after (start + interval). Entries are
// kSriValid | sector distance, with kSriSkipped when VOBUs lie between the target and
// the target of the next shorter interval; kSriNone when the cell has no target, the
// first such entry with kSriSkipped when VOBUs lie beyond the last target.
std::array<uint32_t, kSearchPointers> BackwardPointers(std::span<const TVobuPosition> cell, size_t index);
std::array<uint32_t, kSearchPointers> ForwardPointers(std::span<const TVobuPosition> cell, size_t index);

}  // namespace vidoria
