// SPDX-License-Identifier: MIT
// The line speed of an open port as a number of baud, any rate the driver can make (not only
// the standard ones). Kept apart from termios.h users: the kernel's interface for arbitrary
// rates has its own termios structure.
#pragma once

#include <cstdint>

#include "serial/dcb.h"

namespace kestrune {

// Sets both directions to `baud` and reads the result back. False, with `error` the errno of
// the failed call (0 when the call went through), when the rate is 0 (that would hang the
// line up), the driver refuses the call, or it settles more than kSpeedTolerancePercent away
// from the rate asked for. Does not block.
bool SetLineSpeed(PortHandle port, uint32_t baud, int& error);

// The output speed the port runs at; false when it cannot be read.
bool GetLineSpeed(PortHandle port, uint32_t& baud);

// A UART on either end of the line still frames bytes reliably within this.
inline constexpr uint32_t kSpeedTolerancePercent = 3;

}  // namespace kestrune
