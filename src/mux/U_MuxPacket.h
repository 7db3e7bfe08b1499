#pragma once
// What every producer hands to the DVD multiplexer along with an encoded packet.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace vidoria {

enum TMuxPacketKind : uint8_t {
  MPK_VIDEO = 0,
  MPK_SUBPICTURE = 1,
  MPK_AUDIO = 2,
};

enum TPictureType : uint8_t {
  PICT_NONE = 0,
  PICT_I = 1,
  PICT_P = 2,
  PICT_B = 3,
};

// One menu button as the navigation packs describe it.
struct TNavButton {
  uint8_t Colour = 0;      // selection/action colour set, 0 to 3
  bool AutoAction = false;  // selecting the button also activates it
  uint16_t XStart = 0, XEnd = 0, YStart = 0, YEnd = 0;  // 0 to 1023, start <= end
  // Neighbours, 1-based; a button without a neighbour in a direction names itself.
  uint8_t Up = 0, Down = 0, Left = 0, Right = 0;
  std::array<uint8_t, 8> Command{};  // navigation command run on activation
};

// The highlight information of one menu page, as plain data: the three
// selection/action colour-and-contrast entries (24 bytes as written) and the buttons
// in page order (at most 36).
struct TNavHighlight {
  std::array<uint8_t, 24> ColourTable{};
  std::vector<TNavButton> Buttons;
};

// Carried with every packet. The producer owns its descriptor; the multiplexer copies it.
struct TMuxPacketDescriptor {
  TMuxPacketKind Kind = MPK_VIDEO;
  // Sub-pictures 0x20 + n; audio any id whose low three bits are the stream number
  // (producers pass the DVD id 0x80 + n); video any value (always written as 0xE0).
  uint8_t StreamId = 0;
  uint8_t CellId = 1;  // a change starts a new cell
  uint16_t VobId = 1;
  // Video only.
  TPictureType PictureType = PICT_NONE;
  uint8_t TemporalReference = 0;
  uint16_t Reserved = 0;
  int64_t GopTime = 0;   // on I pictures: 90 kHz time since the previous I picture
  uint32_t UopMask = 0;  // user operations the VOBU forbids; producers pass 0
  // Sub-pictures only: the menu page whose buttons the navigation packs describe from
  // this unit on; none for subtitles.
  std::shared_ptr<const TNavHighlight> Highlight;
};

}  // namespace vidoria
