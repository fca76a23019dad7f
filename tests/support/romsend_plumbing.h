// SPDX-License-Identifier: MIT
// romsend's plumbing in a test process, set up as its main() does: message boxes recorded
// instead of shown, the Qt event pump current, and the program's engine reporting to the main
// page's status printer. Tests that run romsend in-process derive from it; the program object
// (RomsendApp) must be gone before it is.
#pragma once

#include <memory>

#include "app/main_page.h"
#include "app/qt_event_pump.h"
#include "platform/event_pump.h"
#include "platform/message_box.h"
#include "protocol/protocol_engine.h"
#include "protocol/protocol_limits.h"
#include "qt_app.h"

namespace kestrune::test {

class RomsendPlumbing {
 public:
  // The engine waits on the unit within `limits`: the real ones unless a test shortens them.
  explicit RomsendPlumbing(const ProtocolLimits& limits = {}) {
    EnsureQtApp();
    useBoxes_ = std::make_unique<ScopedMessageBox>(&boxes);
    pump_ = std::make_unique<QtEventPump>();
    SetCurrentPump(pump_.get());
    engine = std::make_unique<ProtocolEngine>("romsend.txt", limits);
    engine->SetStatusPrinter(PrintStatus);
    SetTheSender(engine.get());
  }
  ~RomsendPlumbing() {
    SetTheSender(nullptr);
    engine.reset();
    SetCurrentPump(nullptr);
    pump_.reset();
    useBoxes_.reset();
  }
  RomsendPlumbing(const RomsendPlumbing&) = delete;
  RomsendPlumbing& operator=(const RomsendPlumbing&) = delete;

  RecorderMessageBox boxes;
  std::unique_ptr<ProtocolEngine> engine;

 private:
  std::unique_ptr<ScopedMessageBox> useBoxes_;
  std::unique_ptr<QtEventPump> pump_;
};

}  // namespace kestrune::test
