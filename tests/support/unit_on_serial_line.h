// SPDX-License-Identifier: MIT
// The engine over a real line: a simulated unit on a pty, the "serial" settings naming it, the
// headless pump current, and the program's engine with a serial driver that waits within
// `limits` (the real ones unless a test shortens them). Tests derive from it and set the
// engine's status printer.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "platform/event_pump.h"
#include "platform/profile.h"
#include "protocol/sender.h"
#include "simulated_unit.h"
#include "test_env.h"
#include "transport/serial_transport.h"

namespace kestrune::test {

struct UnitOnSerialLine {
  sim::SimulatedUnit unit;
  TempDir dir;
  HeadlessEventPump pump;
  std::unique_ptr<mySender> engine;

  explicit UnitOnSerialLine(const ProtocolLimits& limits = {}) {
    EXPECT_TRUE(unit.Start()) << unit.LastError();
    AppProfile().WriteString("serial", "port", unit.SlavePath());
    SetCurrentPump(&pump);
    engine = std::make_unique<mySender>(dir / "romsend.txt", limits);
    engine->SetDriver(new SerialTransport("Serial Settings"));
  }
  ~UnitOnSerialLine() {
    engine.reset();
    SetCurrentPump(nullptr);
  }
  UnitOnSerialLine(const UnitOnSerialLine&) = delete;
  UnitOnSerialLine& operator=(const UnitOnSerialLine&) = delete;
};

}  // namespace kestrune::test
