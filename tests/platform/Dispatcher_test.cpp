#include "platform/Dispatcher.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vidoria {
namespace {

TEST(Dispatcher, RunsPostedClosuresOnTheOwnerInPostingOrder) {
  TMainThreadDispatcher d;
  std::vector<int> seen;
  std::thread::id ranOn;
  int wakeups = 0;
  d.SetWakeup([&] { ++wakeups; });
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i)
      d.Post([&, i] {
        seen.push_back(i);
        ranOn = std::this_thread::get_id();
      });
  });
  worker.join();
  EXPECT_TRUE(seen.empty()) << "nothing runs before the owner drains";
  EXPECT_EQ(d.Drain(), 100u);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_GE(wakeups, 1);
  EXPECT_EQ(d.WaitAndDrain(std::chrono::milliseconds(1)), 0u);
}

}  // namespace
}  // namespace vidoria
