#include "common/U_ByteWriter.h"

#include <gtest/gtest.h>

using namespace vidoria;

TEST(ByteWriter, AppendsBigEndianPatchesAndPadsToSectors) {
  TByteWriter w;
  EXPECT_TRUE(w.U8(0x01));
  EXPECT_TRUE(w.U16(0x0203));
  EXPECT_TRUE(w.U32(0));
  EXPECT_TRUE(w.PatchU32(3, 0x04050607));
  EXPECT_TRUE(w.PatchText(0, "A", 1));
  EXPECT_EQ(w.Data(), (std::vector<uint8_t>{'A', 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}));
  EXPECT_TRUE(w.PadToSector());
  EXPECT_EQ(w.Size(), 2048u);
  EXPECT_TRUE(w.PadToSector());  // already whole: nothing added
  EXPECT_EQ(w.Size(), 2048u);
  EXPECT_TRUE(w.Ok());
}

// Each refusal leaves the bytes as they were and keeps the writer failed.
TEST(ByteWriter, RefusesOverwideValuesAndPatchesOutsideWhatWasWritten) {
  struct Case {
    const char* name;
    bool (*bad)(TByteWriter&);
  } cases[] = {
      {"U8 of 256", [](TByteWriter& w) { return w.U8(256); }},
      {"U16 of 65536", [](TByteWriter& w) { return w.U16(0x10000); }},
      {"U32 of 2^32", [](TByteWriter& w) { return w.U32(0x100000000ull); }},
      {"patch past the end", [](TByteWriter& w) { return w.PatchU16(3, 1); }},
      {"patch far away", [](TByteWriter& w) { return w.PatchU32(SIZE_MAX - 1, 1); }},
      {"text wider than its field", [](TByteWriter& w) { return w.PatchText(0, "ABC", 2); }},
  };
  for (const Case& c : cases) {
    TByteWriter w;
    w.U32(0xAABBCCDD);
    EXPECT_FALSE(c.bad(w)) << c.name;
    EXPECT_FALSE(w.U8(1)) << c.name;
    EXPECT_FALSE(w.Ok()) << c.name;
    EXPECT_EQ(w.Data(), (std::vector<uint8_t>{0xAA, 0xBB, 0xCC, 0xDD})) << c.name;
  }
}
