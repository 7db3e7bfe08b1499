#pragma once
// DVD navigation commands: the 8-byte instructions a player runs before and after a
// program chain and when a menu button is activated. Each constructor overwrites all
// eight bytes of the slot it is given.

#include <array>
#include <cstdint>

namespace vidoria {

using TNavCommand = std::array<uint8_t, 8>;

// Comparison codes (bits 6-4 of byte 1).
enum TCmdCompare : uint8_t {
  CMP_NONE = 0,
  CMP_AND = 1,
  CMP_EQ = 2,
  CMP_NE = 3,
  CMP_GE = 4,
  CMP_GT = 5,
  CMP_LE = 6,
  CMP_LT = 7,
};

// Set operations (low nibble of byte 0 in the set forms).
enum TCmdSetOp : uint8_t {
  SET_MOV = 1,
  SET_SWP = 2,
  SET_ADD = 3,
  SET_SUB = 4,
  SET_MUL = 5,
  SET_DIV = 6,
  SET_MOD = 7,
  SET_RND = 8,
  SET_AND = 9,
  SET_OR = 10,
  SET_XOR = 11,
};

// A register operand naming a system register: SPRM n is addressed as 0x80 + n.
constexpr uint8_t Sprm(uint8_t n) { return static_cast<uint8_t>(0x80 + n); }

// GPRM r := GPRM r op v.
void SetGprmImmediate(TNavCommand& cmd, uint8_t reg, TCmdSetOp op, uint16_t value);
// GPRM r := GPRM r op register s (a GPRM number, or Sprm(n)).
void SetGprmFromRegister(TNavCommand& cmd, uint8_t reg, TCmdSetOp op, uint8_t source);
// Sets GPRM r to v in register mode, or counter mode when `counter`.
void SetGprmMode(TNavCommand& cmd, uint8_t reg, uint16_t value, bool counter);

struct TStreamSelection {
  bool SetAudio = false;
  uint8_t Audio = 0;
  bool SetSubpicture = false;
  uint8_t Subpicture = 0;
  bool SubpictureDisplayed = false;
  bool SetAngle = false;
  uint8_t Angle = 0;
};
// Selects the audio, sub-picture and angle streams that are flagged.
void SetStreams(TNavCommand& cmd, const TStreamSelection& s);

// If GPRM r <c> v, continue at command line n (1-based within the command list).
void GotoIf(TNavCommand& cmd, uint8_t reg, TCmdCompare cmp, uint16_t value, uint8_t line);
// If the comparison holds (always with CMP_NONE), link to program chain p of this domain.
void LinkPgcIf(TNavCommand& cmd, uint8_t reg, TCmdCompare cmp, uint16_t value, uint16_t pgc);
// Highlights button b (1-based), then links to program chain p.
void HighlightAndLinkPgc(TNavCommand& cmd, uint8_t button, uint16_t pgc);
// Jumps to title t of the disc.
void JumpTitle(TNavCommand& cmd, uint8_t title);
// Jumps to program chain p of the video manager's menus.
void JumpManagerPgc(TNavCommand& cmd, uint16_t pgc);
// Calls program chain p of the video manager's menus, resuming at cell c on return.
void CallManagerPgc(TNavCommand& cmd, uint16_t pgc, uint8_t resumeCell);
// Calls the first-play program chain, resuming at cell c on return.
void CallFirstPlay(TNavCommand& cmd, uint8_t resumeCell);
// Stops playback.
void ExitPlayback(TNavCommand& cmd);

}  // namespace vidoria
