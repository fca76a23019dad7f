// SPDX-License-Identifier: MIT
// The GUI's pump: Qt events run during a wait, a Wake from another thread ends it, quit is seen.
#include "app/qt_event_pump.h"

#include <gtest/gtest.h>

#include <QTimer>
#include <atomic>
#include <thread>

#include "platform/tick_count.h"
#include "qt_app.h"

namespace kestrune {
namespace {

TEST(QtEventPump, WaitForRunsQtEventsAndEndsAtTheDeadline) {
  test::EnsureQtApp();
  QtEventPump pump;
  int fired = 0;
  QTimer::singleShot(10, [&] { ++fired; });
  QTimer::singleShot(30, [&] { ++fired; });
  const uint32_t start = TickCount();
  pump.WaitFor(120);
  EXPECT_GE(TickDiff(TickCount(), start), 120);
  EXPECT_EQ(fired, 2);
}

TEST(QtEventPump, WakeFromAReaderThreadEndsTheWait) {
  test::EnsureQtApp();
  QtEventPump pump;
  std::atomic<bool> data{false};
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    data = true;
    pump.Wake();
  });
  EXPECT_TRUE(pump.WaitUntil(TickCount() + 60000, [&] { return data.load(); }));
  reader.join();
}

TEST(QtEventPump, PumpOneReportsAQuitRequestOnce) {
  test::EnsureQtApp();
  QtEventPump pump;
  EXPECT_TRUE(pump.PumpOne());
  QCoreApplication::postEvent(QCoreApplication::instance(), new QEvent(QEvent::Quit));
  EXPECT_FALSE(pump.PumpOne());
  EXPECT_TRUE(pump.PumpOne());
}

}  // namespace
}  // namespace kestrune
