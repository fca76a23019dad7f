// SPDX-License-Identifier: MIT
// What the layers below the window use of the running program, built once by each program's
// main (and by each test for itself) and handed down through constructors.
#pragma once

#include <memory>
#include <string>

#include "platform/event_pump.h"
#include "platform/message_box.h"
#include "platform/midi_ports.h"
#include "platform/profile.h"

namespace kestrune {

struct RunContext {
  // The user-interface thread's pump: waits on units dispatch its events.
  EventPump& pump;
  // Every message box the program shows.
  MessageBoxes& boxes;
  // The settings the program keeps between runs.
  Profile& profile;
  // Where MIDI devices come from: empty means the system's, through the MIDI system the
  // profile or KESTRUNE_MIDI_API names; a test puts its loopback here.
  MidiPortsFactory midiPorts = {};

  std::unique_ptr<MidiPorts> MakeMidiPorts() const;
};

// The context of a console program (and of tests and benchmarks): a pump with no window
// behind it unless `pump` is given, message boxes on standard error, and the profile at
// `profilePath`.
class ConsoleRunContext {
 public:
  explicit ConsoleRunContext(const std::string& profilePath, EventPump* pump = nullptr)
      : profile(profilePath), run{pump ? *pump : headlessPump, boxes, profile} {}
  ConsoleRunContext(const ConsoleRunContext&) = delete;
  ConsoleRunContext& operator=(const ConsoleRunContext&) = delete;

  HeadlessEventPump headlessPump;
  ConsoleMessageBox console;
  MessageBoxes boxes{console};
  Profile profile;
  RunContext run;
};

}  // namespace kestrune
