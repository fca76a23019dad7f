// SPDX-License-Identifier: MIT
// Arbitrary line speeds through TCSETS2 with BOTHER, as serial libraries on Linux set them.
#include "serial/line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace kestrune {

bool SetLineSpeed(PortHandle port, uint32_t baud, int& error) {
  error = 0;
  if (baud == 0) return false;
  termios2 t{};
  if (ioctl(port, TCGETS2, &t) != 0) {
    error = errno;
    return false;
  }
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  if (ioctl(port, TCSETS2, &t) != 0) {
    error = errno;
    return false;
  }
  uint32_t actual = 0;
  if (!GetLineSpeed(port, actual)) {
    error = errno;
    return false;
  }
  const uint64_t off = actual > baud ? actual - baud : baud - actual;
  return off * 100 <= uint64_t{baud} * kSpeedTolerancePercent;
}

bool GetLineSpeed(PortHandle port, uint32_t& baud) {
  termios2 t{};
  if (ioctl(port, TCGETS2, &t) != 0) return false;
  baud = t.c_ospeed;
  return true;
}

}  // namespace kestrune
