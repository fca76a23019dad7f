// Moving line settings between a DCB and an open port: the stand-ins for reading and setting
// a port's state. Callable from any thread; neither blocks.
#pragma once

#include "serial/dcb.h"

namespace kestrune {

// Applies `dcb` to the port: speed, data bits, parity (mark and space included), stop bits
// (one and a half are sent as two), CTS/RTS and XON/XOFF flow control, and the DTR and RTS
// lines. The port is switched to raw byte transfer. Returns false, leaving the port as it was,
// when the port cannot be read or set or when the DCB holds a speed, data-bit count, parity
// or stop-bit value the port cannot take. A modem-line control that the port refuses (a
// pseudo-terminal has no DTR or RTS) is not a failure.
bool ApplyPortState(PortHandle port, const DCB& dcb);

// Reads the port's current settings into `dcb`. Only what the port really keeps is
// overwritten; the rest (DSR flow, limits, error and event characters, the choice between
// one and a half and two stop bits, a DTR or RTS line the port cannot report) keeps the value
// `dcb` came in with, so callers pass in the settings they applied last. The length field is
// set to 28. Returns false, leaving `dcb` untouched, when the port's state cannot be read.
bool ReadPortState(PortHandle port, DCB& dcb);

}  // namespace kestrune
