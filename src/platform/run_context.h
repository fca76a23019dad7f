// SPDX-License-Identifier: MIT
// What the layers below the window use of the running program, built once by each program's
// main (and by each test for itself) and handed down through constructors.
#pragma once

#include <memory>
#include <string>

#include "platform/diagnostic_log.h"
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
  // Where the layers write their notices (failed opens, resends, Qt's warnings).
  DiagnosticLog& log;
  // The running program's full path (a test puts a pretend one here): its name names the
  // profile section of the line settings, and its folder holds the help files and a parameter
  // file asked for without a name.
  std::string programPath;
  // Where MIDI devices come from: empty means the system's, through the MIDI system the
  // profile or KESTRUNE_MIDI_API names; a test puts its loopback here.
  MidiPortsFactory midiPorts = {};

  std::unique_ptr<MidiPorts> MakeMidiPorts() const;
};

// The context of a console program (and of tests and benchmarks) at `programPath`: a pump with
// no window behind it unless `pump` is given, message boxes on standard error, the profile at
// `profilePath`, and the diagnostic log named after the program.
class ConsoleRunContext {
 public:
  ConsoleRunContext(const std::string& programPath, const std::string& profilePath, EventPump* pump = nullptr)
      : profile(profilePath), log(programPath), run{pump ? *pump : headlessPump, boxes, profile, log, programPath} {}
  ConsoleRunContext(const ConsoleRunContext&) = delete;
  ConsoleRunContext& operator=(const ConsoleRunContext&) = delete;

  HeadlessEventPump headlessPump;
  ConsoleMessageBox console;
  MessageBoxes boxes{console};
  Profile profile;
  DiagnosticLog log;
  RunContext run;
};

}  // namespace kestrune
