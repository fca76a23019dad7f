// SPDX-License-Identifier: MIT
// The application object of romsend: start-up from profile selection to the closed sheet.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "setup/romsend_sheet.h"

namespace kestrune {

class MessageBoxes;

class RomsendApp {
 public:
  // Looks up the port of an attached ZT770+ USB bridge; empty when none is attached.
  using BridgeFinder = std::function<std::string()>;

  // The context must outlive the application object.
  RomsendApp(const RomsendContext& context, BridgeFinder findBridge);

  // Builds the sheet, applies the command line and, with `runModal`,
  // runs the sheet until it closes. Without it (tests), the sheet is kept for inspection
  // until Finish. An unattended run whose command line has a flag no row takes, or whose
  // ZT770 bridge is not attached, ends before the sheet runs. Always returns false; the exit
  // status is ExitStatus().
  bool InitInstance(int argc, const char* const* argv, bool runModal = true);

  RomsendSheet* Sheet() const { return sheet_; }
  // After a modal run: the program's exit status (ExitStatus). 0 for a run without /batch, else
  // how its last send ended; 128 + the signal's number when SIGINT or SIGTERM ended it.
  int ExitStatus() const { return exitStatus_; }

  // Ends a run that InitInstance left open: destroys the flag parser, then the sheet.
  void Finish();

  ~RomsendApp();
  RomsendApp(const RomsendApp&) = delete;
  RomsendApp& operator=(const RomsendApp&) = delete;

 private:
  const RomsendContext& context_;
  BridgeFinder findBridge_;
  RomsendSheet* sheet_ = nullptr;
  struct Parsing;
  Parsing* parsing_ = nullptr;
  int exitStatus_ = 0;
};

// The port text after the ZT770 rule: a name that begins with "ZT770" in any letter case asks
// `findBridge`; when none is found the user is told through `boxes` and the name becomes
// empty. Other names stay as typed (device paths are case-sensitive).
std::string ResolvePortName(const std::string& typed, const RomsendApp::BridgeFinder& findBridge, MessageBoxes& boxes);

// Where romsend at `programPath` keeps its settings: "<XDG config>/Kestrune/<program name>.ini",
// as the registry key HKEY_CURRENT_USER\Software\Kestrune\romsend stands on this platform.
std::string RomsendProfilePath(const std::string& programPath);

// romsend's pages: the main page, the serial and MIDI comms pages, the instructions and the
// about page, built over the sheet's context.
RomsendSheet::Pages RomsendPages();

}  // namespace kestrune
