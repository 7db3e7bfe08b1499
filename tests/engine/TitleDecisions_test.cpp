#include "engine/U_TitleDecisions.h"

#include <gtest/gtest.h>

namespace vidoria {
namespace {

TEST(TitleDecisions, AverageRateFromTheBudget) {
  // Two hours, one re-encoded stereo track, DVD-5: the audio estimate is 172800000 bytes.
  const int64_t budget = 4400 * kMiB - 172800000;
  EXPECT_EQ(budget, 4440934400);
  EXPECT_EQ(AverageVideoRate(budget, 7200000000, 7200000000), 4736996);
  struct Case {
    int64_t bytes, remaining, title, rate;
  };
  const Case cases[] = {
      {budget, 0, 0, kMaxVideoRate},              // nothing known of the duration: the maximum
      {budget, 0, 7200000000, 4736996},           // the title's own duration stands in
      {budget, 60000000, 60000000, kMaxVideoRate},  // plenty of room: capped
      {0, 7200000000, 7200000000, 0},             // budget used up
      {-5, 7200000000, 7200000000, 0},            // overrun never gives a negative rate
  };
  for (const auto& c : cases) EXPECT_EQ(AverageVideoRate(c.bytes, c.remaining, c.title), c.rate);
}

TEST(TitleDecisions, RatesLeaveRoomForAudio) {
  TVideoRates previous;
  auto r = TitleVideoRates(kMaxVideoRate, 192000, previous);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->maximum, kMaxVideoRate - 192000);
  EXPECT_EQ(r->average, kMaxVideoRate - 192000) << "a zero-length project runs at the maximum";
  EXPECT_EQ(r->tolerance, r->maximum);
  auto low = TitleVideoRates(4736996, 192000, previous);
  EXPECT_EQ(low->average, 4736996);
  auto none = TitleVideoRates(0, 192000, *r);
  EXPECT_EQ(none->average, r->average) << "no budget left keeps the previous rates";
  EXPECT_FALSE(TitleVideoRates(4000000, 6 * 1536000, previous)) << "six DTS tracks leave no room for video";
  EXPECT_FALSE(TitleVideoRates(4000000, kMaxVideoRate, previous));
}

TEST(TitleDecisions, Aspect) {
  struct Case {
    e_tv_screen mode;
    double source;
    bool wide;
  };
  const Case cases[] = {{tvs_automatic, 1.5, false},  {tvs_automatic, 1.5001, true}, {tvs_automatic, 4.0 / 3, false},
                        {tvs_automatic, 2.35, true},  {tvs_forcefull, 2.35, false},  {tvs_forcewide, 1.33, true},
                        {tvs_automatic, 0.0, false}};
  for (const auto& c : cases) EXPECT_EQ(DecideAspect(c.mode, c.source).widescreen, c.wide) << c.source;
}

TEST(TitleDecisions, Standard) {
  struct Case {
    e_video_standard mode;
    std::optional<int> subIdx;
    double fps;
    bool pal;
  };
  const Case cases[] = {
      {vs_automatic, {}, 23.976, false}, {vs_automatic, {}, 25.0, true},     {vs_automatic, {}, 50.0, true},
      {vs_automatic, {}, 29.97, false},  {vs_automatic, {}, 24.1, false},    {vs_automatic, {}, 24.11, true},
      {vs_automatic, {}, 27.485, false}, {vs_automatic, {}, 27.48, true},    {vs_automatic, {}, 48.2, false},
      {vs_automatic, {}, 54.97, false},  {vs_automatic, {}, 54.9, true},     {vs_automatic, {}, 0.0, false},
      {vs_automatic, 576, 23.976, true}, {vs_automatic, 480, 25.0, false},   {vs_forcepal, 480, 23.976, true},
      {vs_forcentsc, 576, 25.0, false},
  };
  for (const auto& c : cases) EXPECT_EQ(DecideStandard(c.mode, c.subIdx, c.fps).pal, c.pal) << c.fps;
  EXPECT_EQ(DecideStandard(vs_automatic, 576, 0).message,
            "The Subtitles included in this movie force the video standard to PAL");
}

TEST(TitleDecisions, FrameRate) {
  struct Case {
    bool pal;
    int num, den;
    bool tooLow;
    int outNum, outDen;
  };
  const Case cases[] = {
      {true, 15, 1, true, 25, 1},           {true, 33, 2, false, 33, 2},  // 16.5 is not below 16.5
      {false, 19, 1, true, 30000, 1001},    {false, 24000, 1001, false, 24000, 1001},
      {true, 25, 0, true, 25, 1},           // a zero denominator never divides
      {false, 30000, 1001, false, 30000, 1001},
  };
  for (const auto& c : cases) {
    auto d = DecideFrameRate(c.pal, c.num, c.den);
    EXPECT_EQ(d.too_low, c.tooLow) << c.num << "/" << c.den;
    EXPECT_EQ(d.num, c.outNum);
    EXPECT_EQ(d.den, c.outDen);
    EXPECT_EQ(d.vobu_fps, c.pal ? 25 : 30);
  }
}

TEST(TitleDecisions, AuthoringLimits) {
  EXPECT_EQ(CheckAuthoringLimits(1, 1, 10, true), "");
  EXPECT_EQ(CheckAuthoringLimits(64, 16, 10, true), "");
  EXPECT_NE(CheckAuthoringLimits(65, 17, 10, true), "") << "2n - 1 commands exceed 128";
  EXPECT_NE(CheckAuthoringLimits(60, 60, 10, true), "") << "pages + titles + 3 exceed 100";
  EXPECT_EQ(CheckAuthoringLimits(63, 0, 10, false), "");
  EXPECT_NE(CheckAuthoringLimits(64, 0, 10, false), "");
  EXPECT_NE(CheckAuthoringLimits(1, 1, 255, true), "") << "255 chapters plus the start exceed a title";
  EXPECT_NE(CheckAuthoringLimits(0, 0, 0, true), "");
}

TEST(TitleDecisions, SizeText) {
  EXPECT_EQ(SizeText(512), "512 b.");
  EXPECT_EQ(SizeText(4400 * kMiB), "4.30 Gb.");
  EXPECT_EQ(SizeText(1536), "1.50 Kb.");
}

}  // namespace
}  // namespace vidoria
