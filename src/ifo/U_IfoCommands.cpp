#include "ifo/U_IfoCommands.h"

namespace vidoria {

namespace {
constexpr uint8_t Hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
constexpr uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }
constexpr uint8_t B(unsigned v) { return static_cast<uint8_t>(v); }
}  // namespace

void SetGprmImmediate(TNavCommand& cmd, uint8_t reg, TCmdSetOp op, uint16_t value) {
  cmd = {B(0x70 | (op & 0x0F)), 0x00, 0x00, B(reg & 0x0F), Hi(value), Lo(value), 0x00, 0x00};
}

void SetGprmFromRegister(TNavCommand& cmd, uint8_t reg, TCmdSetOp op, uint8_t source) {
  cmd = {B(0x60 | (op & 0x0F)), 0x00, 0x00, B(reg & 0x0F), 0x00, source, 0x00, 0x00};
}

void SetGprmMode(TNavCommand& cmd, uint8_t reg, uint16_t value, bool counter) {
  cmd = {0x53, 0x00, Hi(value), Lo(value), 0x00, B((reg & 0x0F) | (counter ? 0x80 : 0)), 0x00, 0x00};
}

void SetStreams(TNavCommand& cmd, const TStreamSelection& s) {
  const uint8_t audio = B((s.Audio & 0x7F) | (s.SetAudio ? 0x80 : 0));
  const uint8_t sub =
      B((s.Subpicture & 0x3F) | (s.SetSubpicture ? 0x80 : 0) | (s.SubpictureDisplayed ? 0x40 : 0));
  const uint8_t angle = B((s.Angle & 0x7F) | (s.SetAngle ? 0x80 : 0));
  cmd = {0x51, 0x00, 0x00, audio, sub, angle, 0x00, 0x00};
}

void GotoIf(TNavCommand& cmd, uint8_t reg, TCmdCompare cmp, uint16_t value, uint8_t line) {
  cmd = {0x00, B(((cmp & 7) << 4) | 0x81), 0x00, B(reg & 0x0F), Hi(value), Lo(value), 0x00, line};
}

void LinkPgcIf(TNavCommand& cmd, uint8_t reg, TCmdCompare cmp, uint16_t value, uint16_t pgc) {
  cmd = {0x20, B(((cmp & 7) << 4) | 0x84), 0x00, B(reg & 0x0F), Hi(value), Lo(value), Hi(pgc), Lo(pgc)};
}

void HighlightAndLinkPgc(TNavCommand& cmd, uint8_t button, uint16_t pgc) {
  // The highlighted button number sits in the top six bits of the 16-bit field.
  const uint16_t field = static_cast<uint16_t>((button & 0x3F) << 10);
  cmd = {0x56, 0x04, 0x00, 0x00, Hi(field), Lo(field), Hi(pgc), Lo(pgc)};
}

void JumpTitle(TNavCommand& cmd, uint8_t title) { cmd = {0x30, 0x02, 0x00, 0x00, 0x00, title, 0x00, 0x00}; }

void JumpManagerPgc(TNavCommand& cmd, uint16_t pgc) {
  cmd = {0x30, 0x06, Hi(pgc), Lo(pgc), 0x00, 0xC0, 0x00, 0x00};
}

void CallManagerPgc(TNavCommand& cmd, uint16_t pgc, uint8_t resumeCell) {
  cmd = {0x30, 0x08, Hi(pgc), Lo(pgc), resumeCell, 0xC0, 0x00, 0x00};
}

void CallFirstPlay(TNavCommand& cmd, uint8_t resumeCell) {
  cmd = {0x30, 0x08, 0x00, 0x00, resumeCell, 0x00, 0x00, 0x00};
}

void ExitPlayback(TNavCommand& cmd) { cmd = {0x30, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}; }

}  // namespace vidoria
