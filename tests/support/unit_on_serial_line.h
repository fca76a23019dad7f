// SPDX-License-Identifier: MIT
// The engine over a real line: a simulated unit on a pty, the "serial" settings naming it, a
// headless context, and the program's engine with a serial driver that waits within `limits`
// (the real ones unless a test shortens them). Tests derive from it and set the engine's status
// printer.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "protocol/protocol_engine.h"
#include "simulated_unit.h"
#include "test_context.h"
#include "test_env.h"
#include "transport/serial_transport.h"

namespace kestrune::test {

struct UnitOnSerialLine {
  sim::SimulatedUnit unit;
  TempDir dir;
  TestContext context;
  std::unique_ptr<ProtocolEngine> engine;

  explicit UnitOnSerialLine(const ProtocolLimits& limits = {}) {
    EXPECT_TRUE(unit.Start()) << unit.LastError();
    context.profile.WriteString("serial", "port", unit.SlavePath());
    engine = std::make_unique<ProtocolEngine>(context.run, dir / "romsend.txt", limits);
    engine->SetDriver(std::make_unique<SerialTransport>(context.run, "Serial Settings"));
  }
  ~UnitOnSerialLine() { engine.reset(); }
  UnitOnSerialLine(const UnitOnSerialLine&) = delete;
  UnitOnSerialLine& operator=(const UnitOnSerialLine&) = delete;
};

}  // namespace kestrune::test
