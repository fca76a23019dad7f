// SPDX-License-Identifier: MIT
// The transports romsend sends through unless told otherwise.
#include "setup/romsend_context.h"

#include "transport/midi_transport.h"
#include "transport/serial_transport.h"

namespace kestrune {

std::unique_ptr<Transport> RomsendContext::MakeTransport(int commsMode, const std::string& serialPort) const {
  if (makeTransport) return makeTransport(commsMode, serialPort);
  // The serial transport keeps to this run's port (see RomsendSheet::RunPort).
  if (commsMode == 0) return std::make_unique<SerialTransport>(run, "Serial Settings", serialPort);
  return std::make_unique<MidiTransport>(run);
}

}  // namespace kestrune
