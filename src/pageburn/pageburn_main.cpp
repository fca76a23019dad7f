// SPDX-License-Identifier: MIT
// pageburn's start: discovery, banner, flags, the run, and the key press after an error.
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

#include "pageburn/flag_table_parser.h"
#include "pageburn/pageburn_flags.h"
#include "pageburn/pageburn_program.h"
#include "platform/console_key.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "platform/run_context.h"
#include "serial/usb_port_discovery.h"

namespace kestrune {
namespace {

// The argument the Linux way of asking for `option` stands at, 0 when none.
int FindOption(int argc, char** argv, std::initializer_list<std::string_view> names) {
  for (int i = 1; i < argc; ++i) {
    for (const std::string_view name : names) {
      if (argv[i] && name == argv[i]) return i;
    }
  }
  return 0;
}

// A stop signal ends the program as the shell reports a process it ended: 128 + the signal.
int StopExit() {
  return 128 + CaughtStopSignal();
}

}  // namespace

int PageburnMain(int argc, char** argv) {
  if (FindOption(argc, argv, {"--version"}) != 0) {
    std::printf("pageburn 1.1\n");
    return kExitDone;
  }
  // Signals are caught from here on, so the port and the terminal are always put back.
  CatchStopSignals();

  // Prints "Port found at ..." itself when it finds the monitor.
  PageburnFlags flags(FindDevicePort(kSambaMonitorTarget));
  std::printf("** SAMBA downloader V1.1 **\n");

  FlagTableParser parser(flags.Table());
  std::string message;
  // "--help" and "-h" ask for the same usage text as "?", but as a request that succeeded.
  const bool linuxHelp = FindOption(argc, argv, {"--help", "-h"}) != 0;
  const char* helpArgs[] = {argc > 0 ? argv[0] : "pageburn", "?"};
  const int parsed = linuxHelp ? parser.Parse(2, helpArgs, message) : parser.Parse(argc, argv, message);
  if (parsed == kFlagTableHelp) {
    std::printf("%s\n", message.c_str());
    return linuxHelp ? kExitDone : kExitCommandLine;
  }
  if (parsed != kFlagTableOk) {
    std::printf("bad command line: %s\n", message.c_str());
    return kExitCommandLine;
  }

  // A successful parse took the required file from argv[1].
  PageburnConsole console;
  console.stopRequested = [] { return CaughtStopSignal() != 0; };
  // The console program's context: a pump with no window behind it, boxes on standard error,
  // and the line settings in "<XDG config>/<program name>.ini".
  const std::string programPath = ProgramPath();
  const ConsoleRunContext context(programPath, ProgramProfilePath(programPath));
  const int result = RunDownload(context.run, argv[1], flags.Port(), console, kSam3uEefc0, flags.Verify() != 0);
  if (CaughtStopSignal() != 0) {
    std::fflush(stdout);
    return StopExit();
  }
  if (flags.WaitOnError() != 0 && result != kExitDone) {
    std::printf("\r\nError %d. Press any key...\r\r", result);
    std::fflush(stdout);
    // Only a user at a terminal can answer; a script or a pipe is not kept waiting.
    if (!WaitForKeyPress() && CaughtStopSignal() != 0) {
      std::fflush(stdout);
      return StopExit();
    }
  }
  std::fflush(stdout);
  return result;
}

}  // namespace kestrune
