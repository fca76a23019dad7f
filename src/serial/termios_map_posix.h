// SPDX-License-Identifier: MIT
// The DCB <-> termios translation itself, without a port, so that every row of it can be
// checked (a pseudo-terminal keeps neither data bits nor parity, so a port cannot show them).
#pragma once

#include <termios.h>

#include "serial/dcb.h"

namespace kestrune {

// Lays `dcb` over `t` (raw byte transfer, speed, size, parity, stop bits, CTS/RTS, XON/XOFF,
// flow characters, VMIN 1 / VTIME 0). False, with `t` unspecified, for a speed, data-bit
// count, parity or stop-bit value that termios cannot express.
bool DcbToTermios(const DCB& dcb, termios& t);

// Overwrites the fields of `dcb` that `t` determines; see ReadPortState for what is kept.
void TermiosToDcb(const termios& t, DCB& dcb);

}  // namespace kestrune
