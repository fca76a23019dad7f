// SPDX-License-Identifier: MIT
// Moving line settings between a DCB and an open port: the stand-ins for reading and setting
// a port's state. Callable from any thread; neither blocks.
#pragma once

#include "serial/dcb.h"

namespace kestrune {

// Applies `dcb` to the port: speed, data bits, parity (mark and space included), stop bits
// (one and a half are sent as two), CTS/RTS and XON/XOFF flow control, and the DTR and RTS
// lines. The port is switched to raw byte transfer. Returns false when the port cannot be read
// or set or when the DCB holds a speed, data-bit count, parity or stop-bit value the port
// cannot take. A modem-line control that the port refuses (a
// pseudo-terminal has no DTR or RTS) is not a failure. Same as ApplyLineSettings below: the
// port is raw afterwards even when the rest was refused.
bool ApplyPortState(PortHandle port, const DCB& dcb);

// What kept ApplyLineSettings from setting the whole line.
enum class LineRefusal {
  kNone,   // all set
  kPort,   // the port's state could not be read or set (`error` tells why)
  kFrame,  // a data-bit count, parity or stop-bit value the port cannot take
  kSpeed,  // the driver refused the rate (or it is 0); `error` is the call's errno, or 0
};

// As ApplyPortState, except that the port is switched to raw byte transfer first, whatever it
// refuses afterwards, and that any rate the driver accepts is set, not only the standard ones.
LineRefusal ApplyLineSettings(PortHandle port, const DCB& dcb, int& error);

// Reads the port's current settings into `dcb`. Only what the port really keeps is
// overwritten; the rest (DSR flow, limits, error and event characters, the choice between
// one and a half and two stop bits, a DTR or RTS line the port cannot report) keeps the value
// `dcb` came in with, so callers pass in the settings they applied last. The length field is
// set to 28. Returns false, leaving `dcb` untouched, when the port's state cannot be read.
bool ReadPortState(PortHandle port, DCB& dcb);

}  // namespace kestrune
