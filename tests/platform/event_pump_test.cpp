// SPDX-License-Identifier: MIT
// Waiting without spinning: posted events run during a wait, Wake ends it early, quit is seen.
#include "platform/event_pump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/tick_count.h"

namespace kestrune {
namespace {

TEST(EventPump, WaitForDispatchesPostedEventsAndReturnsAtItsDeadline) {
  HeadlessEventPump pump;
  std::atomic<int> ran{0};
  std::thread poster([&] {
    for (int i = 0; i < 5; ++i) pump.Post([&] { ++ran; });
  });
  const uint32_t start = TickCount();
  pump.WaitFor(150);
  const int32_t took = TickDiff(TickCount(), start);
  poster.join();
  pump.PumpOne();  // whatever the poster queued after the wait ended
  EXPECT_GE(took, 150);
  EXPECT_EQ(ran.load() >= 1, true);
  pump.WaitFor(0);  // returns at once without blocking
}

TEST(EventPump, WakeFromAnotherThreadEndsAWaitAsSoonAsItIsReady) {
  HeadlessEventPump pump;
  std::atomic<bool> data{false};
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    data = true;
    pump.Wake();
  });
  // A long deadline: only the Wake can end this wait in time for the join below to matter.
  const bool ready = pump.WaitUntil(TickCount() + 60000, [&] { return data.load(); });
  reader.join();
  EXPECT_TRUE(ready);
}

TEST(EventPump, DeadlineAlreadyPassedStillMakesOnePass) {
  HeadlessEventPump pump;
  int ran = 0, asked = 0;
  pump.Post([&] { ++ran; });
  EXPECT_FALSE(pump.WaitUntil(TickCount() - 1, [&] {
    ++asked;
    return false;
  }));
  EXPECT_EQ(ran, 1);
  EXPECT_GE(asked, 1);
}

TEST(EventPump, PumpOneReturnsFalseOnlyForTheQuitRequest) {
  HeadlessEventPump pump;
  int ran = 0;
  EXPECT_TRUE(pump.PumpOne());  // nothing pending
  pump.Post([&] { ++ran; });
  EXPECT_TRUE(pump.PumpOne());
  EXPECT_EQ(ran, 1);
  pump.PostQuit();
  // A wait does not swallow the quit request.
  pump.WaitUntil(TickCount() + 5, {});
  EXPECT_FALSE(pump.PumpOne());
  EXPECT_TRUE(pump.PumpOne());
}

}  // namespace
}  // namespace kestrune
