#include "engine/U_UserChapters.h"
#include "engine/U_pulldown.h"

#include <gtest/gtest.h>

#include <vector>

namespace vidoria {
namespace {

// A tiny MPEG-2 picture: GOP header (optional), picture header, picture coding extension.
std::vector<uint8_t> Picture(int temporalReference, bool gop, bool sequence = false, int type = 1) {
  std::vector<uint8_t> b;
  auto add = [&](std::initializer_list<int> bytes) {
    for (int x : bytes) b.push_back(static_cast<uint8_t>(x));
  };
  if (sequence) {
    add({0, 0, 1, 0xB3, 0x2D, 0x01, 0xE0, 0x24, 0xFF, 0xFF, 0xE0, 0x00});  // 720x480, rate code 4
    add({0, 0, 1, 0xB5, 0x14, 0x8A, 0x00, 0x01, 0x00, 0x00});              // sequence ext, progressive
  }
  if (gop) add({0, 0, 1, 0xB8, 0x00, 0x08, 0x00, 0x40});  // time 0, closed GOP
  add({0, 0, 1, 0x00, (temporalReference >> 2) & 0xFF, ((temporalReference & 3) << 6) | (type << 3), 0xFF, 0xF8});
  add({0, 0, 1, 0xB5, 0x8F, 0xFF, 0xF3, 0x41, 0x80});  // picture coding ext, frame picture
  return b;
}

TEST(Pulldown, FilmToNtscIsThreeTwo) {
  TPulldown p(29.97, 24000.0 / 1001);
  p.InitPattern(true);
  EXPECT_EQ(p.FrameDuration(), 3003);
  EXPECT_EQ(p.TargetRateCode(), 4);
  std::vector<int> fields;
  std::vector<int64_t> pts, dts;
  // GOP of I P B B in coded order with temporal references 0 3 1 2.
  const int refs[] = {0, 3, 1, 2};
  for (int g = 0; g < 2; ++g)
    for (int k = 0; k < 4; ++k) {
      auto pic = Picture(refs[k], k == 0, g == 0 && k == 0, k == 0 ? 1 : k == 1 ? 2 : 3);
      ASSERT_TRUE(p.ProcessPicture(pic.data(), static_cast<int64_t>(pic.size())));
      fields.push_back(p.FieldsOfPicture());
      pts.push_back(p.Pts());
      dts.push_back(p.Dts());
      if (g == 0 && k == 0) {
        EXPECT_EQ(pic[7] & 0x0F, 4) << "sequence header gets the target's rate code";
        EXPECT_EQ(pic[17] & 0x08, 0) << "progressive sequence cleared";
      }
      const uint8_t ext = pic[pic.size() - 2];
      EXPECT_EQ((ext & 0x02) != 0, p.FieldsOfPicture() == 3) << "repeat first field";
      EXPECT_TRUE(pic.back() & 0x80) << "progressive frame";
    }
  // Display order per GOP is 0 1 2 3 -> fields 3 2 3 2; coded order 0 3 1 2 -> 3 2 2 3.
  EXPECT_EQ(fields, (std::vector<int>{3, 2, 2, 3, 3, 2, 2, 3}));
  // Shown after the fields displayed before it (two fields of delay): the P picture of
  // the first GOP after 3 + 2 + 3 fields, the second GOP after the first GOP's 10.
  EXPECT_EQ(pts, (std::vector<int64_t>{3003, 15015, 7507, 10510, 18018, 30030, 22522, 25525}));
  // Decoded in coded order: B pictures when shown, I and P pictures when the previous
  // I or P picture is shown.
  EXPECT_EQ(dts, (std::vector<int64_t>{0, 3003, 7507, 10510, 15015, 18018, 22522, 25525}));
  // The P picture (display 3) is shown after 3 + 2 + 3 fields of its GOP.
  EXPECT_EQ(p.PatternEntry(0) & 2, 2);
  EXPECT_EQ(p.PatternEntry(1) & 2, 0) << "the parity flips after a repeated field";
  EXPECT_EQ(p.PatternEntry(2) & 2, 0);
  EXPECT_EQ(p.PatternEntry(3) & 2, 2);
}

TEST(Pulldown, RatesAndErrors) {
  TPulldown film(25, 24);
  EXPECT_EQ(film.FrameDuration(), 3600);
  int repeats = 0;
  for (int i = 0; i < 24; ++i) repeats += film.PatternEntry(i) & 1;
  EXPECT_EQ(repeats, 2) << "one three-field picture in every twelve";
  TPulldown same(25, 25);
  EXPECT_EQ(same.PatternEntry(1000) & 1, 0);
  EXPECT_EQ(TPulldown(29.97, 24000.0 / 1001).PatternEntry(3000000000LL) & 1,
            TPulldown(29.97, 24000.0 / 1001).PatternEntry(0) & 1)
      << "no end to the pattern, even past 15 hours";
  EXPECT_THROW(TPulldown(26, 24), EPulldownError);
  EXPECT_THROW(TPulldown(25, 29.97), EPulldownError);
  EXPECT_THROW(TPulldown(29.97, 15), EPulldownError) << "two repeated fields per picture cannot be coded";
}

TEST(Pulldown, DropFrameTimeCode) {
  TPulldown p(29.97, 24000.0 / 1001);
  const uint8_t original[4] = {0, 0, 0, 0x40};
  uint8_t tc[4];
  p.TimeCode(2 * 17982, original, tc);  // 17982 frames = 10 minutes of drop-frame time
  const int hours = (tc[0] >> 2) & 31, minutes = ((tc[0] & 3) << 4) | (tc[1] >> 4);
  const int seconds = ((tc[1] & 7) << 3) | (tc[2] >> 5), pictures = ((tc[2] & 31) << 1) | (tc[3] >> 7);
  EXPECT_EQ(tc[0] & 0x80, 0x80);
  EXPECT_EQ(hours, 0);
  EXPECT_EQ(minutes, 10);
  EXPECT_EQ(seconds, 0);
  EXPECT_EQ(pictures, 0);
  EXPECT_EQ(tc[3] & 0x7F, 0x40) << "closed GOP kept";
  TPulldown pal(50, 48);
  pal.TimeCode(2 * 49, original, tc);  // picture 49 of a 50 fps time code needs all six bits
  EXPECT_EQ(((tc[2] & 31) << 1) | (tc[3] >> 7), 49);
}

TEST(UserChapters, MergingAndSwitching) {
  TUserChapterList list;
  list.AddMs(3000);   // within 5 s of the start: merged into it
  list.AddMs(60200);
  list.AddMs(62000);  // within 5 s of 60.2 s
  list.AddMs(30000);
  list.Renumber();
  ASSERT_EQ(list.Count(), 3u);
  EXPECT_EQ(list.Item(1).start, 30000 * 90);
  EXPECT_EQ(list.Current().number, 1);
  EXPECT_EQ(list.Current().actual_time, 0);
  EXPECT_FALSE(list.Advance(29000 * 90));
  EXPECT_TRUE(list.Advance(29700 * 90)) << "up to 0.4 s early";
  EXPECT_TRUE(list.Advance(99999999)) << "one step per call";
  EXPECT_EQ(list.Current().number, 3);
  EXPECT_FALSE(list.Advance(99999999));
}

TEST(UserChapters, AutomaticChapters) {
  struct Case {
    int64_t durationMs, intervalMs, minimumMs;
    bool skipSmall;
    int expected;
  };
  const Case cases[] = {
      {92 * 60000, 300000, 900000, false, 18},
      {3 * 60000, 300000, 300000, true, 0},
      {30LL * 3600000, 1000, 0, false, 255},
      {600000, 300000, 0, false, 2},  // an exact multiple gets a chapter at its very end
  };
  for (const auto& c : cases) {
    TAuteurSettings s;
    s.Set_Chap_Duration_Ms(c.intervalMs);
    s.Set_Chap_Minimum_Segment_Duration_Ms(c.minimumMs);
    s.Set_Chap_dont_insert_in_small_segments(c.skipSmall);
    TChapter_collection chapters;
    EXPECT_EQ(AddAutomaticChapters(chapters, s, c.durationMs * 1000), c.expected);
    EXPECT_EQ(chapters.Count(), static_cast<size_t>(c.expected));
  }
  TAuteurSettings off;
  off.Set_Chap_AutoInsertChapter(false);
  TChapter_collection none;
  EXPECT_EQ(AddAutomaticChapters(none, off, 3600000000LL), 0);
}

}  // namespace
}  // namespace vidoria
