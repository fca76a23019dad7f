// SPDX-License-Identifier: MIT
// Waiting without spinning: posted events run during a wait, Wake ends it early, quit is seen.
#include "platform/event_pump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/tick_count.h"

namespace kestrune {
namespace {

struct UsePump {
  explicit UsePump(EventPump* p) { SetCurrentPump(p); }
  ~UsePump() { SetCurrentPump(nullptr); }
};

TEST(EventPump, WaitPumpingDispatchesPostedEventsAndReturnsAtItsDeadline) {
  HeadlessEventPump pump;
  UsePump use(&pump);
  std::atomic<int> ran{0};
  std::thread poster([&] {
    for (int i = 0; i < 5; ++i) pump.Post([&] { ++ran; });
  });
  const uint32_t start = TickCount();
  WaitPumping(150);
  const int32_t took = TickDiff(TickCount(), start);
  poster.join();
  pump.PumpOne();  // whatever the poster queued after the wait ended
  EXPECT_GE(took, 150);
  EXPECT_EQ(ran.load() >= 1, true);
  WaitPumping(0);  // returns at once without blocking
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
  UsePump use(&pump);
  int ran = 0;
  EXPECT_TRUE(PumpOneMessage());  // nothing pending
  pump.Post([&] { ++ran; });
  EXPECT_TRUE(PumpOneMessage());
  EXPECT_EQ(ran, 1);
  pump.PostQuit();
  // A wait does not swallow the quit request.
  pump.WaitUntil(TickCount() + 5, {});
  EXPECT_FALSE(PumpOneMessage());
  EXPECT_TRUE(PumpOneMessage());
}

}  // namespace
}  // namespace kestrune
