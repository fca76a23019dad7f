// SPDX-License-Identifier: MIT
// Line settings that survive the program: a DCB kept in the application profile, so that a
// port opens with the settings last chosen for it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/run_context.h"
#include "serial/dcb.h"
#include "serial/port_state.h"

namespace kestrune {

// Reads the program's profile once, at construction, and writes it only in Save and Set. The
// context must outlive the object. Never closes its port: the port belongs to the
// owner. Not thread-safe; the port handle calls Save under its port lock.
class SavedLineSettings : public DCB {
 public:
  // Loads the settings. `section` empty means the program's name. With a port, the port's
  // current state is the base, the profile's entries are laid over it and the result is
  // applied to the port; without one the base is a binary, parity-checking DCB with
  // everything else zero. Entries missing from the profile take their defaults (115200 baud,
  // 8 data bits, no parity, one stop bit, DTR and RTS on, no flow control); each value is
  // masked to its field's width.
  explicit SavedLineSettings(const RunContext& context, const std::string& section = {}, PortHandle port = kNoPort);

  using DCB::Set;  // the flag-word setter stays reachable beside the four-value Set below

  // With a port, first reads the port's state, so the profile records what the port really
  // has. Writes "baud", "bits", "parity", "stop", "OutCts", "RtsControl", "OutX", "InX". When
  // the "baud" write fails, shows one warning box (the profile's path, "Cannot write to INI
  // file"); the other writes are not checked. Blocks while the box is shown.
  void Save();

  // Stores the four values and writes "baud", "bits", "parity", "stop" without any message.
  // Returns whether the port took the settings, or without a port whether "baud" was written.
  bool Set(uint32_t baud, uint8_t dataBits, uint8_t stopBits, uint8_t parity);

  const std::string& Section() const { return section_; }
  PortHandle Port() const { return port_; }
  // What the port refused when the settings were applied at construction (kNone without a
  // port), and the errno behind it.
  LineRefusal Refusal() const { return refusal_; }
  int RefusalError() const { return refusalError_; }

 protected:
  const RunContext* context_;  // a pointer, so that copies can be assigned

 private:
  PortHandle port_;
  LineRefusal refusal_ = LineRefusal::kNone;
  int refusalError_ = 0;
  std::string section_;
};

}  // namespace kestrune
