#include "ifo/U_IfoTables.h"

#include "IfoTestBytes.h"

#include <gtest/gtest.h>

using namespace vidoria;
using namespace vidoria::test;

namespace {
std::vector<uint8_t> Time(int64_t frames, unsigned rate, bool* ok = nullptr) {
  TByteWriter w;
  std::string error;
  const bool done = PutDvdTime(w, frames, rate, &error);
  if (ok) *ok = done;
  return w.Take();
}
}  // namespace

TEST(IfoTables, PlaybackTimesAreBcdWithTheFrameRateInTheTopBits) {
  EXPECT_EQ(Time(0, 25), Hex("00 00 00 40"));
  EXPECT_EQ(Time((3600 + 23 * 60 + 59) * 25 + 24, 25), Hex("01 23 59 64"));
  EXPECT_EQ(Time((10 * 3600 + 5) * 30 + 29, 30), Hex("10 00 05 E9"));
  bool ok = true;
  Time(100LL * 3600 * 25, 25, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(FramesOf(3003 * 1000, 30), 1001);  // 1000 NTSC frames last 1001 nominal frames of 1/30 s
  EXPECT_EQ(FramesOf(-5, 25), 0);
}

TEST(IfoTables, LanguageFieldIsTwoLowerCaseLettersOrZeros) {
  EXPECT_EQ(LanguageCode("EN"), (std::array<uint8_t, 2>{'e', 'n'}));
  EXPECT_EQ(LanguageCode("deu"), (std::array<uint8_t, 2>{'d', 'e'}));
  EXPECT_EQ(LanguageCode("x"), (std::array<uint8_t, 2>{0, 0}));
}

TEST(IfoTables, TimeMapUnitKeepsAnyTitleWithin2048Entries) {
  struct {
    int64_t ms;
    uint8_t unit;
  } cases[] = {{0, 4}, {2 * 3600 * 1000, 4}, {8192 * 1000, 4}, {8192 * 1000 + 1, 5}, {3 * 3600 * 1000, 6},
               {INT64_C(1000) * 3600 * 1000, 255}};
  for (const auto& c : cases) {
    EXPECT_EQ(TimeMapUnit(c.ms), c.unit) << c.ms;
    if (c.unit < 255) {
      EXPECT_LE((c.ms + c.unit * 500) / (c.unit * 1000), 2048) << c.ms;
    }
  }
  TTimeMapTable t;
  t.Maps.push_back({4, std::vector<uint32_t>(2049, 1)});
  TByteWriter w;
  std::string error;
  EXPECT_FALSE(WriteTimeMapTable(w, t, &error));
  EXPECT_EQ(error, "Time map: 2049 entries (at most 2048 allowed)");
}

// A title block holds 8 audio and 32 sub-picture records; a menu block at most one of
// each, and writing it must leave the title block behind it alone.
TEST(IfoTables, AttributeBlocksKeepTheirRecordsInPlace) {
  TStreamAttributes title;
  title.Video = {true, true, true};
  for (uint8_t i = 0; i < 8; ++i) title.Audio.push_back({uint8_t(0xA0 + i), 1, 2, 3, 4, 5, 6, 7});
  for (uint8_t i = 0; i < 32; ++i) title.Subpictures.push_back({uint8_t(0xC0 + i), 1, 2, 3, 4, 5});
  TStreamAttributes menu;
  menu.Video = {false, false, false};
  menu.Audio.push_back({0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE});
  menu.Subpictures.push_back({0xDD, 0xDD, 0xDD, 0xDD, 0xDD, 0xDD});

  TByteWriter w;
  w.Zeros(1024);
  std::string error;
  ASSERT_TRUE(PatchStreamAttributes(w, 512, title, TAttributeBlock::Title, &error)) << error;
  ASSERT_TRUE(PatchStreamAttributes(w, 256, menu, TAttributeBlock::Menu, &error)) << error;
  const std::vector<uint8_t>& b = w.Data();
  auto at = [&](size_t from, size_t n) { return std::vector<uint8_t>(b.begin() + from, b.begin() + from + n); };

  EXPECT_EQ(at(256, 4), Hex("40 00 00 01"));  // MPEG-2 NTSC 4:3, one audio stream
  EXPECT_EQ(at(260, 8), Hex("EE EE EE EE EE EE EE EE"));
  EXPECT_EQ(at(268, 72), Zeros(72));
  EXPECT_EQ(at(340, 8), Hex("00 01 DD DD DD DD DD DD"));
  EXPECT_EQ(at(348, 164), Zeros(164));

  EXPECT_EQ(at(512, 4), Hex("5C 01 00 08"));  // MPEG-2 PAL 16:9, film mode, 8 audio streams
  EXPECT_EQ(at(516, 8), Hex("A0 01 02 03 04 05 06 07"));
  EXPECT_EQ(at(572, 8), Hex("A7 01 02 03 04 05 06 07"));
  EXPECT_EQ(at(580, 16), Zeros(16));
  EXPECT_EQ(at(596, 8), Hex("00 20 C0 01 02 03 04 05"));
  EXPECT_EQ(at(784, 6), Hex("DF 01 02 03 04 05"));
  EXPECT_EQ(at(790, 234), Zeros(234));

  menu.Subpictures.push_back(menu.Subpictures[0]);
  EXPECT_FALSE(PatchStreamAttributes(w, 256, menu, TAttributeBlock::Menu, &error));
  EXPECT_EQ(error, "2 sub-picture streams where at most 1 are allowed");
  title.Audio.push_back(title.Audio[0]);
  EXPECT_FALSE(PatchStreamAttributes(w, 512, title, TAttributeBlock::Title, &error));
}

// End addresses count the table's own bytes; readers derive entry counts from them.
TEST(IfoTables, SimpleTablesLayOutTheirEntriesAndEndAddresses) {
  struct Case {
    const char* name;
    bool (*write)(TByteWriter&, std::string*);
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"title search",
       [](TByteWriter& w, std::string* e) {
         return WriteTitleSearchTable(w, {{{0x3C, 1, 12, 0, 1, 1, 0x1234}, {0x14, 1, 3, 0, 2, 1, 0x20000}}}, e);
       },
       Hex("00 02 00 00 00 00 00 1F 3C 01 00 0C 00 00 01 01 00 00 12 34 14 01 00 03 00 00 02 01 00 02 00 00")},
      {"part of title",
       [](TByteWriter& w, std::string* e) { return WritePartOfTitleTable(w, {{{{1, 1}, {1, 2}}, {{2, 1}}}}, e); },
       Hex("00 02 00 00 00 00 00 1B 00 00 00 10 00 00 00 18 00 01 00 01 00 01 00 02 00 02 00 01")},
      {"cell addresses",
       [](TByteWriter& w, std::string* e) { return WriteCellAddressTable(w, {{{2, 1, 0, 9}, {1, 2, 10, 0x1FF}}}, e); },
       Hex("00 02 00 00 00 00 00 1F 00 02 01 00 00 00 00 00 00 00 00 09 00 01 02 00 00 00 00 0A 00 00 01 FF")},
      {"VOBU map", [](TByteWriter& w, std::string* e) { return WriteVobuAddressMap(w, {{0, 5, 0x10000}}, e); },
       Hex("00 00 00 0F 00 00 00 00 00 00 00 05 00 01 00 00")},
      {"time maps",
       [](TByteWriter& w, std::string* e) {
         return WriteTimeMapTable(w, {{{4, {7, kTimeMapDiscontinuity | 20}}, {6, {}}}}, e);
       },
       Hex("00 02 00 00 00 00 00 1F 00 00 00 10 00 00 00 1C 04 00 00 02 00 00 00 07 80 00 00 14 06 00 00 00")},
  };
  for (const Case& c : cases) {
    TByteWriter w;
    w.Zeros(3);  // offsets count from the table's start, not the file's
    std::string error;
    ASSERT_TRUE(c.write(w, &error)) << c.name << ": " << error;
    EXPECT_EQ(std::vector<uint8_t>(w.Data().begin() + 3, w.Data().end()), c.bytes) << c.name;
  }
}

TEST(IfoTables, TitleSetAttributeRecordsCopyTheHeaderBlocks) {
  TTitleSetAttributes ts;
  ts.Category = 0x01020304;
  ts.Menu.Video = {true, true, false};
  ts.Title.Video = {true, false, true};
  ts.Title.Audio.push_back({0x04, 0x05, 'e', 'n', 0, 0, 0, 0});
  TTitleSetAttributeTable table{{ts, ts}};
  TByteWriter w;
  std::string error;
  ASSERT_TRUE(WriteTitleSetAttributeTable(w, table, &error)) << error;
  const std::vector<uint8_t>& b = w.Data();
  ASSERT_EQ(b.size(), 8u + 780 * 2);
  auto at = [&](size_t from, size_t n) { return std::vector<uint8_t>(b.begin() + from, b.begin() + from + n); };
  EXPECT_EQ(at(0, 16), Hex("00 02 00 00 00 00 06 1F 00 00 00 10 00 00 03 18"));
  const size_t second = 16 + 776;
  EXPECT_EQ(at(second, 10), Hex("00 00 03 07 01 02 03 04 5C 00"));   // end 775, category, menu video
  EXPECT_EQ(at(second + 8 + 256, 12), Hex("50 01 00 01 04 05 65 6E 00 00 00 00"));  // title block
}
