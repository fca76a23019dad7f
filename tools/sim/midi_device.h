// SPDX-License-Identifier: MIT
// The MIDI device that a simulated unit (or a test) plays on a real MIDI system: a virtual
// input and a virtual output named after the device, which romsend lists and opens like an
// interface.
#pragma once

#include <memory>
#include <string>

#include "platform/midi_ports.h"

namespace kestrune::sim {

// A device named `name` on `api`. On JACK it is made with libjack itself, so that closing it
// drops its client whole instead of unregistering its ports one by one while the client is
// active: JACK's client library walks the port list on its notification thread without a lock,
// and a port unregistered at that moment crashes the process. Elsewhere it is RtMidi's virtual
// ports (OpenRtMidiDevice). Null when the system is not reachable; `error` then says why.
std::unique_ptr<MidiDeviceEnd> OpenMidiDevice(const std::string& name, MidiApi api, int* error = nullptr);

}  // namespace kestrune::sim
