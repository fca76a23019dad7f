// SPDX-License-Identifier: MIT
// What romsend's window, its pages and its sends share, built once by the program's main (and
// by each test for itself): the run context, the one protocol engine, and how a send gets its
// transport.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/run_context.h"
#include "protocol/protocol_engine.h"
#include "transport/transport.h"

namespace kestrune {

struct RomsendContext {
  // Builds the transport of a send: comms mode 0 is serial, sending to `serialPort`, any other
  // mode is MIDI.
  using TransportMaker = std::function<std::unique_ptr<Transport>(int commsMode, const std::string& serialPort)>;

  const RunContext& run;
  ProtocolEngine& engine;
  // The serial and MIDI transports over `run` unless a test puts its own here.
  TransportMaker makeTransport = {};

  std::unique_ptr<Transport> MakeTransport(int commsMode, const std::string& serialPort) const;
};

}  // namespace kestrune
