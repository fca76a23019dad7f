// Why a serial port could not be opened, told to the user in one line with the usual fix.
#pragma once

#include <string>

namespace kestrune {

enum class PortOpenProblem {
  kPermission,  // the user may not open the device node
  kBusy,        // another program holds the port
  kVanished,    // the device node is gone (unplugged, restarted)
  kNotSerial,   // the name is no terminal device
  kUnknown,     // opened fine when looked at again, or an unexpected error
};

// What a fresh open of the port found: the open's errno (0 when it opened), whether the opened
// file is a terminal and whether its exclusive lock was refused.
PortOpenProblem ClassifyPortOpen(int openError, bool isTerminal, bool lockRefused);

// Opens `devicePath` once more (and closes it at once) to find out why an open failed.
// `error` receives the errno behind the answer, 0 when none.
PortOpenProblem DiagnosePortOpen(const std::string& devicePath, int& error);

// One line, ending in '\n', with the reason and what usually mends it.
std::string PortOpenProblemText(PortOpenProblem problem, const std::string& devicePath, int error);

}  // namespace kestrune
