// SPDX-License-Identifier: MIT
// TickCount on POSIX: the monotonic clock, which never jumps with the wall clock.
#include "tick_count.h"

#include <ctime>

namespace kestrune {

uint32_t TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

}  // namespace kestrune
