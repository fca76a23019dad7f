// SPDX-License-Identifier: MIT
// romsend's plumbing in a test process, set up as its main() does: message boxes recorded
// instead of shown, the Qt event pump, the test program's pretend path, its profile in the
// test's temp root and its diagnostic log, and the engine. Tests that run romsend in-process
// derive from it; the program object (RomsendApp) must be gone before it is.
#pragma once

#include <memory>

#include "app/qt_event_pump.h"
#include "app/romsend_app.h"
#include "platform/diagnostic_log.h"
#include "platform/message_box.h"
#include "platform/profile.h"
#include "platform/run_context.h"
#include "protocol/protocol_engine.h"
#include "protocol/protocol_limits.h"
#include "qt_app.h"
#include "setup/romsend_context.h"
#include "test_env.h"

namespace kestrune::test {

class RomsendPlumbing {
 public:
  // The engine waits on the unit within `limits`: the real ones unless a test shortens them.
  explicit RomsendPlumbing(const ProtocolLimits& limits = {})
      : pump_((EnsureQtApp(), std::make_unique<QtEventPump>())),
        profile(RomsendProfilePath(TestProgramPath())),
        log(TestProgramPath()),
        run{*pump_, messageBoxes, profile, log, TestProgramPath()},
        engine(std::make_unique<ProtocolEngine>(run, "romsend.txt", limits)),
        context{run, *engine} {}
  RomsendPlumbing(const RomsendPlumbing&) = delete;
  RomsendPlumbing& operator=(const RomsendPlumbing&) = delete;

 private:
  std::unique_ptr<QtEventPump> pump_;

 public:
  RecorderMessageBox boxes;
  MessageBoxes messageBoxes{boxes};
  Profile profile;
  DiagnosticLog log;
  RunContext run;
  std::unique_ptr<ProtocolEngine> engine;
  RomsendContext context;
};

}  // namespace kestrune::test
