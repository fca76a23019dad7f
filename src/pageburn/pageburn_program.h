// SPDX-License-Identifier: MIT
// pageburn's run: find or check the SAM-BA port, write the firmware file into flash page by
// page, optionally read it back, set the boot bit, and tell the outcome in console lines and
// an exit code.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "pageburn/samba_chip.h"
#include "platform/run_context.h"

namespace kestrune {

enum PageburnExit : int {
  kExitDone = 0,
  kExitCommandLine = 1,  // bad command line, help shown, or the firmware file cannot be opened
  kExitFileRead = 2,     // reading the firmware file failed
  kExitNoPort = 3,       // no port given or found, not present, or not a USB CDC port
  kExitFlash = 4,        // a page or the boot bit could not be written, or the file does not fit
  kExitPortOpen = 5,     // opening the port failed
  kExitVerify = 6,       // a word read back differs from the one written, or could not be read
  kExitStopped = 7,      // RunDownload only: a stop was requested; the program exits 128 + signal
};

// Where the run's lines go: progress and results to `out`, the open failure to `err`.
struct PageburnConsole {
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  // Asked before each page written or verified and before the boot bit; true ends the run with
  // kExitStopped.
  std::function<bool()> stopRequested;
};

// Writes the file at `firmwarePath` to the chip behind `portName` and returns an exit code.
// With `verify`, every page written is read back before the boot bit is set. The port's line
// settings come from the context's profile, and waits run its pump.
int RunDownload(const RunContext& context, const std::string& firmwarePath, const std::string& portName,
                const PageburnConsole& console = {}, const SambaChip& chip = kSam3uEefc0, bool verify = false);

// The whole program: discovery, banner, command line and INI file, the run, and the key press
// that keeps an error on screen. Returns the exit code.
int PageburnMain(int argc, char** argv);

}  // namespace kestrune
