// SPDX-License-Identifier: MIT
// SIGINT and SIGTERM in romsend: during a send they act as the Stop button and the program ends
// once the send has returned (port closed, logs whole); outside a send they end it at once. The
// exit status is then 128 + the signal's number.
#pragma once

#include <QObject>
#include <functional>

#include "platform/stop_signal_pipe.h"

class QSocketNotifier;

namespace kestrune {

class RomsendSheet;

// Installs the handlers for its life (one at a time, after the QApplication). The handler only
// notes the signal and writes to a pipe; `onSignal` then runs on the user-interface thread, also
// from inside the waits of a running send. A second signal of the same kind takes the system's
// default action, so a program that does not end can still be ended.
class StopSignals : public QObject {
 public:
  explicit StopSignals(std::function<void(int signal)> onSignal);
  ~StopSignals() override;
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  std::function<void(int)> onSignal_;
  StopSignalPipe pipe_;
  QSocketNotifier* notifier_ = nullptr;
};

// What romsend does on the user-interface thread when a stop signal came: boxes and other
// dialogs waiting for a person are closed; a running send is stopped as by the Stop button and
// ends the program when it returns; otherwise the window (`sheet`, null before it is built) is
// closed.
void StopOnSignal(RomsendSheet* sheet);

}  // namespace kestrune
