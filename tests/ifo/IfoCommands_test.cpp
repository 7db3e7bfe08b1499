#include "ifo/U_IfoCommands.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace vidoria;

namespace {
std::string Hex(const TNavCommand& c) {
  std::string s;
  char b[4];
  for (uint8_t v : c) {
    snprintf(b, sizeof b, "%02X ", v);
    s += b;
  }
  s.pop_back();
  return s;
}
}  // namespace

// Each command against its documented encoding (bit layout of the DVD virtual machine
// instruction set: command group in the top three bits, compare/link/jump sub-fields).
TEST(IfoCommands, ConstructorsWriteTheDocumentedBytes) {
  struct Case {
    const char* name;
    std::function<void(TNavCommand&)> make;
    const char* bytes;
  } cases[] = {
      {"SetGprmImmediate mov", [](TNavCommand& c) { SetGprmImmediate(c, 3, SET_MOV, 1); }, "71 00 00 03 00 01 00 00"},
      {"SetGprmImmediate add", [](TNavCommand& c) { SetGprmImmediate(c, 15, SET_ADD, 0x1234); }, "73 00 00 0F 12 34 00 00"},
      {"SetGprmFromRegister", [](TNavCommand& c) { SetGprmFromRegister(c, 0, SET_MOV, Sprm(4)); }, "61 00 00 00 00 84 00 00"},
      {"SetGprmMode counter", [](TNavCommand& c) { SetGprmMode(c, 2, 0x0102, true); }, "53 00 01 02 00 82 00 00"},
      {"SetGprmMode register", [](TNavCommand& c) { SetGprmMode(c, 5, 7, false); }, "53 00 00 07 00 05 00 00"},
      {"SetStreams",
       [](TNavCommand& c) {
         TStreamSelection s;
         s.SetAudio = true;
         s.Audio = 1;
         s.SetSubpicture = true;
         s.Subpicture = 2;
         s.SubpictureDisplayed = true;
         SetStreams(c, s);
       },
       "51 00 00 81 C2 00 00 00"},
      {"GotoIf", [](TNavCommand& c) { GotoIf(c, 0, CMP_EQ, 2, 5); }, "00 A1 00 00 00 02 00 05"},
      {"LinkPgcIf ge", [](TNavCommand& c) { LinkPgcIf(c, 1, CMP_GE, 1, 7); }, "20 C4 00 01 00 01 00 07"},
      {"LinkPgcIf always", [](TNavCommand& c) { LinkPgcIf(c, 0, CMP_NONE, 0, 1); }, "20 84 00 00 00 00 00 01"},
      {"HighlightAndLinkPgc", [](TNavCommand& c) { HighlightAndLinkPgc(c, 1, 2); }, "56 04 00 00 04 00 00 02"},
      {"HighlightAndLinkPgc 36", [](TNavCommand& c) { HighlightAndLinkPgc(c, 36, 0x0102); }, "56 04 00 00 90 00 01 02"},
      {"JumpTitle", [](TNavCommand& c) { JumpTitle(c, 3); }, "30 02 00 00 00 03 00 00"},
      {"JumpManagerPgc", [](TNavCommand& c) { JumpManagerPgc(c, 2); }, "30 06 00 02 00 C0 00 00"},
      {"CallManagerPgc", [](TNavCommand& c) { CallManagerPgc(c, 9, 1); }, "30 08 00 09 01 C0 00 00"},
      {"CallFirstPlay", [](TNavCommand& c) { CallFirstPlay(c, 2); }, "30 08 00 00 02 00 00 00"},
      {"ExitPlayback", [](TNavCommand& c) { ExitPlayback(c); }, "30 01 00 00 00 00 00 00"},
  };
  for (const Case& k : cases) {
    TNavCommand cmd;
    cmd.fill(0xEE);  // every byte must be overwritten
    k.make(cmd);
    EXPECT_EQ(Hex(cmd), k.bytes) << k.name;
  }
}
