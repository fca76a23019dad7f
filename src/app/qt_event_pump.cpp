// SPDX-License-Identifier: MIT
// Qt-backed waits: block in the event dispatcher until an event, a Wake or the deadline.
#include "qt_event_pump.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QThread>

#include "platform/tick_count.h"

namespace kestrune {

QtEventPump::QtEventPump() : thread_(QThread::currentThread()) {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);  // a coarse timer may end a wait 5% late
  if (QCoreApplication* app = QCoreApplication::instance()) app->installEventFilter(this);
}

QtEventPump::~QtEventPump() {
  if (QCoreApplication* app = QCoreApplication::instance()) app->removeEventFilter(this);
}

bool QtEventPump::eventFilter(QObject* watched, QEvent* event) {
  if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit) quitSeen_ = true;
  return false;
}

bool QtEventPump::PumpOne() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  return !quitSeen_.exchange(false);
}

bool QtEventPump::WaitUntil(uint32_t deadline, const std::function<bool()>& ready) {
  for (;;) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (ready && ready()) return true;
    const int32_t left = TickDiff(deadline, TickCount());
    if (left <= 0) return false;
    timer_.start(left);
    // Blocks until something arrives: input, a timer (ours at the deadline), posted events or
    // a Wake from another thread.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    timer_.stop();
  }
}

void QtEventPump::Wake() {
  if (QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance(thread_)) d->wakeUp();
}

}  // namespace kestrune
