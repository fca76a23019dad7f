// SPDX-License-Identifier: MIT
// The application object of romsend: start-up from profile selection to the closed sheet.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kestrune {

class RomsendSheet;

class RomsendApp {
 public:
  // Looks up the port of an attached ZT770+ USB bridge; empty when none is attached.
  using BridgeFinder = std::function<std::string()>;

  explicit RomsendApp(BridgeFinder findBridge);

  // Selects the profile, builds the sheet, applies the command line and, with `runModal`,
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
  BridgeFinder findBridge_;
  RomsendSheet* sheet_ = nullptr;
  struct Parsing;
  Parsing* parsing_ = nullptr;
  int exitStatus_ = 0;
};

// The port text after the ZT770 rule: a name that begins with "ZT770" in any letter case asks
// `findBridge`; when none is found the user is told and the name becomes empty. Other names
// stay as typed (device paths are case-sensitive).
std::string ResolvePortName(const std::string& typed, const RomsendApp::BridgeFinder& findBridge);

}  // namespace kestrune
