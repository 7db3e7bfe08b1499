#include "app/C_Etr.h"

#include <gtest/gtest.h>

namespace vidoria {
namespace {
using namespace std::chrono_literals;

TEST(Etr, ProjectsFromTheLastSampleAndCountsDownBetweenSamples) {
  TEtr::Clock::time_point now{};
  TEtr etr([&] { return now; });
  int position = 0, polls = 0;
  etr.Max = 100;
  etr.OnPoll = [&] {
    ++polls;
    return position;
  };
  etr.Start();
  now += 15s;
  etr.Tick();
  EXPECT_EQ(polls, 0) << "the first poll falls inside the quiet start";
  EXPECT_EQ(etr.TimeRemainingText(), "");
  position = 25;
  now += 15s;
  etr.Tick();
  EXPECT_EQ(polls, 1);
  EXPECT_EQ(etr.EstimatedTimeRemaining(), TEtr::Ms(90000));
  EXPECT_EQ(etr.TimeRemainingText(), "2 minutes");
  now += 43s;
  EXPECT_EQ(etr.TimeRemainingText(), "45 seconds");
  etr.Max = 5;  // ignored while started
  EXPECT_EQ(etr.Percentage(), 25);
  etr.Stop();
  EXPECT_EQ(etr.CompletionTime(), TEtr::Ms(73000));
}

TEST(Etr, TextAndEdges) {
  const std::pair<TEtr::Ms, const char*> cases[] = {
      {59min + 30s, "60 minutes"}, {1h + 30min, "1 hour"}, {2h + 59min, "2 hours"}, {3s, "5 seconds"}, {47s, "45 seconds"},
  };
  for (const auto& [span, text] : cases) EXPECT_EQ(TEtr::SpanText(span), text);
  TEtr noPoll;
  noPoll.Start();
  EXPECT_FALSE(noPoll.Started()) << "no position source, no start";
  TEtr::Clock::time_point now{};
  TEtr stuck([&] { return now; });
  stuck.OnPoll = [] { return 0; };
  stuck.Start();
  now += 60s;
  stuck.Tick();
  EXPECT_EQ(stuck.TimeRemainingText(), "") << "no progress, no estimate";
}

}  // namespace
}  // namespace vidoria
