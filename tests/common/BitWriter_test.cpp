#include "common/U_BitWriter.h"

#include <gtest/gtest.h>

#include <array>

using namespace vidoria;

TEST(BitWriter, WritesFieldsBigEndianAcrossByteBoundaries) {
  std::array<uint8_t, 5> buf{};
  TBitWriter w(buf);
  EXPECT_TRUE(w.PutBits(0x1, 2));
  EXPECT_TRUE(w.PutBits(0x3FF, 10));
  EXPECT_TRUE(w.PutBits(0, 4));
  EXPECT_TRUE(w.PutU16(0xBEEF));
  EXPECT_TRUE(w.PutU8(0x5A));
  EXPECT_TRUE(w.Ok());
  EXPECT_EQ(buf, (std::array<uint8_t, 5>{0x7F, 0xF0, 0xBE, 0xEF, 0x5A}));
}

TEST(BitWriter, RefusesOverwideValuesAndOverflowWithoutTouchingTheBuffer) {
  std::array<uint8_t, 2> buf{0xAA, 0xAA};
  TBitWriter wide(buf);
  EXPECT_FALSE(wide.PutBits(0x10, 4));
  EXPECT_FALSE(wide.PutU8(0));  // stays failed
  EXPECT_FALSE(wide.Ok());
  EXPECT_EQ(buf, (std::array<uint8_t, 2>{0xAA, 0xAA}));

  TBitWriter past(buf, 1);
  EXPECT_TRUE(past.PutU8(0x11));
  EXPECT_FALSE(past.PutBits(1, 1));
  EXPECT_EQ(buf, (std::array<uint8_t, 2>{0xAA, 0x11}));
  EXPECT_FALSE(TBitWriter(buf, 3).Ok());
}
