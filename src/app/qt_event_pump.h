// SPDX-License-Identifier: MIT
// The event pump of the GUI: waits run Qt's own event dispatching, so the window paints and
// its buttons answer while a transfer waits on a unit.
#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>

#include "platform/event_pump.h"

class QThread;

namespace kestrune {

// Lives on the GUI thread and must be created after the QApplication. Wake is thread-safe
// (it wakes Qt's event dispatcher); everything else runs on the GUI thread.
class QtEventPump : public QObject, public EventPump {
 public:
  QtEventPump();
  ~QtEventPump() override;

  bool PumpOne() override;
  bool WaitUntil(uint32_t deadline, const std::function<bool()>& ready) override;
  void Wake() override;

 protected:
  // Notes application-level quit requests so that PumpOne can report them.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QThread* thread_;
  QTimer timer_;  // wakes the blocking dispatch at the wait's deadline
  std::atomic<bool> quitSeen_{false};
};

}  // namespace kestrune
