// SPDX-License-Identifier: MIT
// What the simulator programs share: reading a number from a flag, and the run-until-told-to-
// stop wait (SIGINT, SIGTERM or the end of stdin).
#pragma once

#include <signal.h>

#include <string>

namespace kestrune::sim {

// A whole-text integer (decimal, 0x hex or 0 octal) within [min, max]; false otherwise.
bool ParseInt(const std::string& text, long min, long max, long& value);

// Blocks SIGINT and SIGTERM in every thread started after construction and lets them through
// only inside Wait, so a signal always ends the wait and never interrupts a simulator's thread.
// Construct it before starting any thread.
class EndSignals {
 public:
  EndSignals();
  // Blocks until a signal, or (unless `ignoreStdin`) the end of stdin.
  void Wait(bool ignoreStdin) const;

 private:
  sigset_t waitMask_;
};

}  // namespace kestrune::sim
