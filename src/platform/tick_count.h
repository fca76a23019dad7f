// SPDX-License-Identifier: MIT
// Millisecond tick counter that every time limit and progress time is measured with.
#pragma once

#include <cstdint>

namespace kestrune {

// Milliseconds since an arbitrary start (CLOCK_MONOTONIC), as an unsigned 32-bit count that
// wraps after about 49 days. Thread-safe.
uint32_t TickCount();

// Signed distance from `from` to `to`, correct across the 32-bit wrap as long as the two are
// less than about 24 days apart.
inline int32_t TickDiff(uint32_t to, uint32_t from) {
  return static_cast<int32_t>(to - from);
}

// True when `now` stands at or past `deadline`.
inline bool TickReached(uint32_t now, uint32_t deadline) {
  return TickDiff(now, deadline) >= 0;
}

}  // namespace kestrune
