// pageburn's start: discovery, banner, flags, the run, and the key press after an error.
#include <cstdio>
#include <string>

#include "pageburn/getcmd.h"
#include "pageburn/pageburn_flags.h"
#include "pageburn/pageburn_program.h"
#include "platform/console_key.h"
#include "serial/port_lock.h"
#include "serial/usb_port_discovery.h"

namespace kestrune {

int PageburnMain(int argc, char** argv) {
  // pageburn's transfers do not take the port lock; opening, configuring and closing do.
  SetPortLockScope(PortLockScope::kConfigAndClose);

  // Prints "Port found at ..." itself when it finds the monitor.
  PageburnFlags flags(FindDevicePort(kSambaMonitorTarget));
  std::printf("** SAMBA downloader V1.1 **\n");

  Getcmd parser(flags.Table());
  std::string message;
  const int parsed = parser.Parse(argc, argv, message);
  if (parsed == kGetcmdHelp) {
    std::printf("%s\n", message.c_str());
    return kExitCommandLine;
  }
  if (parsed != kGetcmdOk) {
    std::printf("bad command line: %s\n", message.c_str());
    return kExitCommandLine;
  }

  // A successful parse took the required file from argv[1].
  const int result = RunDownload(argv[1], flags.Port());
  if (flags.WaitOnError() != 0 && result != kExitDone) {
    std::printf("\r\nError %d. Press any key...\r\r", result);
    std::fflush(stdout);
    // Only a user at a terminal can answer; a script or a pipe is not kept waiting.
    WaitForKeyPress();
  }
  std::fflush(stdout);
  return result;
}

}  // namespace kestrune
